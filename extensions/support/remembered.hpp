// A dictionary lookup remembered for as long as the dictionary stays unchanged.
//
// The modules look every name up at each use, so that a name rebound after import is seen at
// its next use. Most uses find what the previous one found: the namespaces change rarely.
// A `RememberedLookup` keeps the dictionary it read, the state that dictionary was in and the
// value found, and answers again without a lookup while the dictionary is that same one in
// that same state. Any change to the dictionary (any key added, set, deleted or cleared), or
// its end, changes the state, and the next use looks the name up afresh. The value is never
// used without that check, and the dictionary holds it while its state is unchanged.
//
// The state is the dictionary's version tag on CPython 3.10 and 3.11, and on 3.12 and newer
// a count of the changes that a dictionary watcher has seen on the dictionaries watched.
#pragma once

#include "support/errors.hpp"

#include <cstdint>

namespace velmora {

class RememberedLookup {
  public:
    constexpr RememberedLookup() noexcept = default;
    RememberedLookup(const RememberedLookup&) = delete;
    RememberedLookup& operator=(const RememberedLookup&) = delete;

    // `dict[key]` as a borrowed reference, or null with no exception set when the key is
    // missing; `key` is an exact str. Throws `PyError` when the lookup raises.
    PyObject* find(PyObject* dict, PyObject* key) const;

  private:
    mutable PyObject* dict_ = nullptr; // compared only, never dereferenced
    mutable std::uint64_t state_ = 0;
    mutable PyObject* value_ = nullptr; // held by `dict_` while its state is `state_`
};

} // namespace velmora
