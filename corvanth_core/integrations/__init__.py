"""Adapters that put a `Guard` into agent frameworks' own tool paths.

Each module here is optional and imports its framework, which its extra
installs; importing `corvanth_core` imports none of them.

    pip install 'corvanth-core[openai-agents]'
    from corvanth_core.integrations.openai_agents import tool_input_guardrail

    pip install 'corvanth-core[langchain]'
    from corvanth_core.integrations.langchain import GuardMiddleware
"""
