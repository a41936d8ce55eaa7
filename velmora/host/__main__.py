import sys

from velmora.host.main import main

sys.exit(main())
