"""python -m velk_crc: the velk-crc command line."""

import sys

from velk_crc import main

sys.exit(main())
