"""The frameworks stay optional: importing the package imports none, nor
does importing the OpenAI Agents adapter (it imports the SDK when a
guardrail is made)."""

import subprocess
import sys

FRAMEWORKS = ("agents", "langchain", "langchain_core", "langgraph")


def test_importing_the_package_imports_no_framework():
    probe = (
        "import sys, corvanth_core, corvanth_core.integrations.openai_agents\n"
        f"print(sorted(m for m in {FRAMEWORKS!r} if m in sys.modules))"
    )
    done = subprocess.run(
        [sys.executable, "-c", probe], capture_output=True, text=True, check=True
    )
    assert done.stdout == "[]\n"
