"""Policies the limit tests share: rules whose verdicts meet a rate phase in
every way (a Deny with and without a message, an Audit and an Allow with
one, an action), and limits of several kinds, windows and counts."""

from corvanth_core import compile

RULES = """
rules:
  - on: send_email
    when: to == "boss"
    audit: "to the boss"
    actions:
      - log: {to: !expr to}
  - on: send_email
    when: to == "spam"
    verdicts:
      - audit: "spam?"
      - deny
  - on: send_email
    when: to == "evil"
    deny: "evil"
  - on: [send_email, tool_call]
    when: size > 10
    allow: "big"
  - on: tool_call
    when: tool == "shell"
    deny: "no shell"
"""

LIMITS = """
limits:
  - quota: send_email
    max: 3
    per: 1m
  - rate: tool_call
    max: 2
    per: 10s
  - rate: web_request
    max: 0
    per: 0ms
"""

POLICY = compile("name: fleet\n" + RULES + LIMITS)
EVENT_TYPES = ("send_email", "tool_call", "web_request", "file_access")
