"""python3 -m tuning: the tunekit command-line tool (calibrate, inspect, report, batch)."""
import sys

from tuning.cli.main import main

sys.exit(main())
