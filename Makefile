# One-command entry points. Everything a fresh machine needs is installed here.
#
# The virtual environment and the editable install are made once (behind a
# stamp); after that only changed C++ sources are recompiled, in place, by
# ninja in the persistent folder build/temp.
PY      ?= python3
VENV    := .venv
VPY     := $(VENV)/bin/python
STAMP   := $(VENV)/.installed
SO      := mivra/api/gdq_quant$(shell $(PY) -c "import sysconfig; print(sysconfig.get_config_var('EXT_SUFFIX'))")
# a list of pyproject.toml, printed blank-separated: $(TOML)[key][key]))
TOML    := import tomllib; print(' '.join(tomllib.load(open('pyproject.toml', 'rb'))
CORE    := $(shell find src -name '*.cpp' -o -name '*.h') setup.py

.PHONY: all build test demo bench clean

all: build

# Build requirements first (the build runs without isolation), then the
# project with its extras: dependencies, console script and the first build.
$(STAMP): pyproject.toml
	$(PY) -m venv $(VENV)
	$(VPY) -m pip install -q --upgrade pip
	$(VPY) -m pip install -q $$($(VPY) -c "$(TOML)['build-system']['requires']))")
	$(VPY) -m pip install -q --no-build-isolation -e '.[dev,demo]'
	touch $(STAMP)

$(SO): $(CORE) | $(STAMP)
	$(VPY) setup.py -q build_ext --inplace
	touch $(SO)

build: $(SO)

test: build
	$(VPY) -m pytest -q tests

demo: build
	$(VENV)/bin/mivra-gdq demo

bench: build
	$(VPY) -m pip install -q $$($(VPY) -c "$(TOML)['project']['optional-dependencies']['bench']))")
	$(VPY) bench/run_all.py

clean:
	rm -rf build mivra/api/*.so *.egg-info
