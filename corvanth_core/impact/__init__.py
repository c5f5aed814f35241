"""What a policy change would have done to recorded sessions, and the
report of a replay people look at.

    from corvanth_core.impact import Impact, diff_session
    impact = Impact()
    impact.add(diff_session("s.jsonl", old_engine, new_engine, data))
    print(impact.changed, impact.transitions())

`corvanth-core diff` and `corvanth-core replay --html` are built on it.
"""

from corvanth_core.impact.diff import (
    TRANSITIONS,
    Change,
    Impact,
    SessionDiff,
    diff_session,
)
from corvanth_core.impact.report_html import DETAIL_LIMIT, report_html
from corvanth_core.impact.session import SessionRun, session_results

__all__ = [
    "DETAIL_LIMIT",
    "TRANSITIONS",
    "Change",
    "Impact",
    "SessionDiff",
    "SessionRun",
    "diff_session",
    "report_html",
    "session_results",
]
