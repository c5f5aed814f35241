"""Sessions diffed one per job, in this process or over worker processes.

    jobs = [DiffJob(path, old, new, keep=3, html=False) for path in traces]
    for outcome in run_jobs(jobs, workers=4):  # in the order of `jobs`
        impact.add(outcome.diff)

Each job reads its trace and replays it through fresh copies of both
engines, so sessions share no state: a rate window or machine of one
session never sees another's events.
"""

from collections.abc import Iterator
from concurrent.futures import ProcessPoolExecutor
from dataclasses import dataclass
from multiprocessing import get_context
from typing import Any

from _corvanth_core import PolicyEngine

from corvanth_core.impact.diff import SessionDiff, compare_runs, replay_both
from corvanth_core.impact.provenance import policy_digest
from corvanth_core.impact.report_html import session_view


@dataclass(frozen=True)
class DiffJob:
    """One session to diff; with `html`, its report view is built too."""

    trace: str
    old: PolicyEngine
    new: PolicyEngine
    keep: int
    html: bool


@dataclass(frozen=True)
class Outcome:
    """What a job gave: the session's differences and report view, or the
    error that kept its trace from being read."""

    diff: SessionDiff | None
    view: dict[str, Any] | None
    error: str | None


def run_job(job: DiffJob) -> Outcome:
    """Diff one session."""
    try:
        with open(job.trace, "rb") as file:
            data = file.read()
    except OSError as error:
        return Outcome(None, None, error.strerror or str(error))
    old, new = replay_both(job.old, job.new, data, explain=job.html)
    diff = compare_runs(job.trace, old, new, policy_digest(job.old), job.keep)
    changed = diff.changed_events
    view = session_view(job.trace, [old, new], changed) if job.html else None
    return Outcome(diff, view, None)


def run_jobs(jobs: list[DiffJob], workers: int) -> Iterator[Outcome]:
    """The outcomes of `jobs` in order, over `workers` processes (1: here)."""
    if workers <= 1 or len(jobs) <= 1:
        yield from map(run_job, jobs)
        return
    # Spawned, not forked: the parent may hold threads and locks.
    context = get_context("spawn")
    with ProcessPoolExecutor(min(workers, len(jobs)), mp_context=context) as pool:
        yield from pool.map(run_job, jobs)
