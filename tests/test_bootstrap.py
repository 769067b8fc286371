"""The loader: linked modules served by plain name, ahead of every file on the search path."""
import importlib.machinery
import logging
import subprocess
import sys
import textwrap

import pytest

bootstrap = sys.modules["bootstrap"]
LINKED = ["utils", "version", "provider", "fields", "velmora"]


@pytest.fixture
def finder():
    return next(f for f in sys.meta_path if type(f).__name__ == "CompiledModuleFinder")


def test_loader_runs_as_main_program_with_frozen_set():
    assert bootstrap.__name__ == "__main__"
    assert bootstrap.package == "__main__"
    assert bootstrap.logger.name == "bootstrap __main__"
    assert sys.frozen is True


def test_finder_stands_first_and_serves_the_table(finder):
    ours = [f for f in sys.meta_path if type(f).__name__ == "CompiledModuleFinder"]
    assert len(ours) == 1
    # Only pytest's assertion rewriter may stand before it, and only in the test runner.
    assert all(type(f).__name__ == "AssertionRewritingHook" for f in sys.meta_path[: sys.meta_path.index(finder)])
    assert set(LINKED) <= set(finder.modules_set)
    assert list(finder.modules_set) == list(bootstrap.definitions)


def test_find_spec_answers_a_fresh_spec_without_origin(finder):
    spec = finder.find_spec("utils", None)
    assert isinstance(spec, importlib.machinery.ModuleSpec)
    assert spec.name == "utils" and spec.origin is None and spec.submodule_search_locations is None
    assert type(spec.loader).__name__ == "CompiledModuleLoader" and spec.loader.name == "utils"
    assert finder.find_spec("utils", None, None).loader is not spec.loader


@pytest.mark.parametrize("name", ["package.utils", "utils.utils", "Utils", "UTILS", "", "nosuchmodule"])
def test_find_spec_refuses_dotted_case_variant_and_unknown_names(finder, name):
    assert finder.find_spec(name, None) is None


def test_linked_modules_have_their_final_file_and_loader():
    import utils

    assert utils.__file__ == sys.executable + "/utils"
    assert type(utils.__loader__).__name__ == "CompiledModuleLoader"
    assert utils.__package__ == ""


@pytest.fixture
def versionFile():
    """pybind11 hands out the one module object of a definition, so a module created here may be the
    live `version` of the other tests; its file is put back afterwards."""
    version = sys.modules.get("version")
    saved = getattr(version, "__file__", None)
    yield
    if version is not None:
        version.__file__ = saved


def test_created_module_has_no_file_until_executed(versionFile):
    loader = bootstrap.CompiledModuleLoader("version")
    module = loader.create_module(importlib.machinery.ModuleSpec("version", loader))
    assert module.__file__ is None
    assert module.__loader__ is loader


def test_loader_operations_and_refusals(caplog):
    assert bootstrap.debugMsg("anything", 1, None) is None
    with pytest.raises(TypeError):
        bootstrap.debugMsg(a=1)
    with pytest.raises(ImportError) as refused:
        bootstrap.CompiledModuleLoader("utils").load_module("utils")
    assert refused.value.args == ()
    with pytest.raises(TypeError):
        bootstrap.CompiledModuleLoader(5)
    with pytest.raises(KeyError):
        bootstrap.CompiledModuleLoader("nosuchmodule")
    finder = bootstrap.CompiledModuleFinder(["x"])
    assert finder.invalidate_caches() is None and finder.modules_set == ["x"]


def test_failing_body_is_logged_and_the_import_goes_on(caplog, versionFile):
    loader = bootstrap.CompiledModuleLoader("version")
    with caplog.at_level(logging.ERROR, logger="bootstrap __main__"):
        assert loader.exec_module(object()) is None
    [record] = caplog.records
    assert record.getMessage() == "Exception" and record.exc_info is not None


def run_tests_in(directory, *arguments):
    return subprocess.run([sys.executable, "-p", "no:cacheprovider", *arguments], cwd=directory,
                          capture_output=True, text=True, timeout=120)


def test_linked_module_wins_over_a_file_of_its_name_and_arguments_pass_unchanged(tmp_path):
    (tmp_path / "utils.py").write_text("raise AssertionError('the file was imported')\n")
    (tmp_path / "test_shadow.py").write_text(textwrap.dedent("""
        import importlib, sys
        def test_shadow():
            assert sys.path[0] == {path!r} or {path!r} in sys.path
            import utils
            assert utils.__file__ == sys.executable + "/utils"
            assert importlib.import_module("utils") is utils
            assert sys.argv[3:5] == ["-W", "ignore::UserWarning"] and sys.warnoptions == []
    """).format(path=str(tmp_path)))
    result = run_tests_in(tmp_path, "-W", "ignore::UserWarning", "-q", "test_shadow.py")
    assert result.returncode == 0, result.stdout + result.stderr


def test_test_runner_exit_code_is_pytests(tmp_path):
    (tmp_path / "test_fails.py").write_text("def test_fails():\n    assert False\n")
    assert run_tests_in(tmp_path, "-q", "test_fails.py").returncode == 1
    assert run_tests_in(tmp_path, "-q", "nothing_here.py").returncode == 4
