# One-command entry points. Everything a fresh machine needs is installed here.
PY      ?= python3
VENV    := .venv
VPY     := $(VENV)/bin/python
STAMP   := $(VENV)/.deps-installed

.PHONY: all build test demo bench clean

all: build

$(STAMP): requirements.txt
	$(PY) -m venv $(VENV)
	$(VPY) -m pip install -q --upgrade pip
	$(VPY) -m pip install -q -r requirements.txt
	touch $(STAMP)

# Incremental (ninja + ccache) build of the extension, in place, plus the
# console script.
build: $(STAMP)
	$(VPY) setup.py -q build_ext --inplace
	$(VPY) -m pip install -q --no-build-isolation --no-deps -e .

test: build
	$(VPY) -m pytest -q tests

demo: build
	$(VENV)/bin/mivra-gdq demo

bench: build
	$(VPY) bench/run_all.py

clean:
	rm -rf build mivra/api/*.so *.egg-info
