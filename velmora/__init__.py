"""velmora: native keyboard and clipboard-picture tools for the macro host.

The extension modules ``velmora.snapTone`` and ``velmora.strokeSmith`` call the Windows
interfaces through pywin32, ``winsound`` and the package's ``common`` module. On other systems
``velmora._platform`` stands in for the ones that are missing (see that package).
"""

import sys

if sys.platform != "win32":
    from velmora import _platform

    _platform.install()
