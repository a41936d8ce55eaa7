"""The public entries of the two modules, read from the modules themselves, so that a table
of cases kept by a test can be checked against them: a new entry without a case fails."""


def entries(module):
    """Names of the module's public functions and of the methods of its classes
    ("SimulateKeyPress", "MouseHelper.__init__"), in the order of the module namespace."""
    names = []
    for name, value in vars(module).items():
        if getattr(value, "__module__", None) != module.__name__ or not callable(value):
            continue
        if isinstance(value, type):
            names += [f"{name}.{method}" for method in vars(value) if callable(vars(value)[method])]
        elif not name.startswith("_"):
            names.append(name)
    return names


def missing_cases(module, covered, exempt=()):
    """The entries of `module` that neither `covered` nor `exempt` names, sorted."""
    return sorted(set(entries(module)) - set(covered) - set(exempt))
