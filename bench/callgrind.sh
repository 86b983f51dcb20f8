#!/bin/bash
# Instructions per small GET and per MiB under callgrind; see bench/callgrind.py.
cd "$(dirname "$0")/.." && exec .venv/bin/python bench/callgrind.py "$@"
