"""Shared test setup.

- tests/refleak.py: the reference-leak hunt, off unless pytest gets --refleak.
- HYPOTHESIS_PROFILE=ci (set by .ci/run): a fixed example budget, derandomized.
- HYPOTHESIS_PROFILE=instrumented (set by .ci/refleak.sh and .ci/sanitize.sh):
  no deadlines, no example database, the same examples on every run; for the
  slow instrumented builds.
"""

import os

from hypothesis import HealthCheck, settings

pytest_plugins = ("refleak",)

settings.register_profile(
    "instrumented", deadline=None, database=None, derandomize=True,
    suppress_health_check=[HealthCheck.too_slow])
# CI: a fixed example budget and the same examples on every run, so the run is bounded.
settings.register_profile(
    "ci", max_examples=60, deadline=None, database=None, derandomize=True,
    suppress_health_check=[HealthCheck.too_slow])
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "default"))
