# The documentation site: MkDocs (pinned in requirements-dev.txt) builds
# docs/ into build/site strictly, so that a link to a page or an anchor that
# does not exist, or a rule of the engine without its texts, fails the
# build; the rules' pages come from the engine's table and the package's
# texts (docs/hooks/rule_pages.py), hence the build. `make test` runs it.
EXTRA_TEST_STEPS += docs

.PHONY: docs

docs: build
	@PYTHONPATH=$(DEV_PYTHONPATH) $(VENV)/bin/mkdocs build --strict --quiet
	@echo "docs: built into build/site"
