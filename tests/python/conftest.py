import os
import sys

from hypothesis import HealthCheck, settings

# The helpers shared by the suites (tests/support) import as top-level modules.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))

# The test command shares its machine with other work: drawing a tree may take
# longer than hypothesis expects, which says nothing about the code.
settings.register_profile("shared-machine", deadline=None, suppress_health_check=[HealthCheck.too_slow])
settings.load_profile("shared-machine")
