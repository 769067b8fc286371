# Set-up, build, run and test on a fresh Debian machine: `make run`, `make test`.
SHELL := /bin/bash

# build/ is the program's install tree: the Python environment, with the executables
# in its bin/ where the interpreter finds its packages by itself.
BUILD := build
PYTHON312 := $(firstword $(wildcard $(HOME)/.pyenv/versions/3.12*/bin/python3.12) $(shell command -v python3.12 2>/dev/null))
DEBIAN_PACKAGES := g++ make cmake gettext locales xvfb openbox xdotool x11-utils libtk8.6 poppler-utils
LOCALES := en_US de_DE
CATALOGUES := $(patsubst %.po,%.mo,$(wildcard locale/*/LC_MESSAGES/velmora.po))
TEST_ARGS ?=

.PHONY: all run test system environment program catalogues clean

all: program catalogues

run: all data/config/velmora.json
	$(BUILD)/velmora

test: all
	tools/with-display $(BUILD)/velmora-tests -p no:cacheprovider $(TEST_ARGS) tests

# Debian packages, installed only when one is missing.
system:
	@missing=$$(for p in $(DEBIAN_PACKAGES); do dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q '^install ok installed' || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  echo "Installing $$missing"; \
	  apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q $$missing; \
	fi
	@if ! { locale -a | grep -qix 'en_US.utf8' && locale -a | grep -qix 'de_DE.utf8'; }; then \
	  for l in $(LOCALES); do sed -i "s/^# *$$l.UTF-8 UTF-8/$$l.UTF-8 UTF-8/" /etc/locale.gen; done; \
	  locale-gen; \
	fi

environment: $(BUILD)/.requirements

$(BUILD)/pyvenv.cfg: | system
	@test -n "$(PYTHON312)" || { echo "CPython 3.12 not found (pyenv's 3.12 build is expected)"; exit 1; }
	$(PYTHON312) -m venv $(BUILD)

$(BUILD)/.requirements: requirements.txt $(BUILD)/pyvenv.cfg
	$(BUILD)/bin/pip install -q --disable-pip-version-check -r requirements.txt
	touch $@

program: environment
	cmake -S . -B $(BUILD)/cmake -DPython_EXECUTABLE=$(abspath $(BUILD)/bin/python) \
	  -Dpybind11_DIR=$$($(BUILD)/bin/python -m pybind11 --cmakedir) -DVELMORA_OUTPUT_DIR=$(abspath $(BUILD))/bin >/dev/null
	cmake --build $(BUILD)/cmake -j$$(nproc)
	ln -sf bin/velmora $(BUILD)/velmora
	ln -sf bin/velmora-tests $(BUILD)/velmora-tests

catalogues: $(CATALOGUES)

%.mo: %.po | system
	msgfmt --check -o $@ $<

data/config/velmora.json:
	mkdir -p data/config data/cache
	echo '{}' > $@

clean:
	rm -rf $(BUILD)
