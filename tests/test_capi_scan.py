"""tools/capi_scan.py: deprecated C API names found in preprocessed sources."""

import importlib.util
import json
import pathlib
import shutil

import pytest

TOOL = pathlib.Path(__file__).resolve().parent.parent / "tools" / "capi_scan.py"
spec = importlib.util.spec_from_file_location("capi_scan", TOOL)
capi_scan = importlib.util.module_from_spec(spec)
spec.loader.exec_module(capi_scan)


def test_only_lines_from_the_source_root_count_at_their_own_line_numbers():
    text = "\n".join(
        [
            '# 1 "/src/tree/mod.cpp"',
            "int a;",
            "PyErr_Fetch(&t, &v, &tb); PyErr_Restore(t, v, tb);",
            '# 40 "/usr/include/python3.14/pyerrors.h" 1 3',
            "void PyErr_Fetch(PyObject **, PyObject **, PyObject **);",
            '# 5 "/src/tree/mod.cpp" 2',
            "",
            "if (flags & Py_TPFLAGS_HAVE_FINALIZE) {}",
            "MyPyErr_Fetch(); PyErr_FetchLater();",  # other identifiers that merely contain a name
            '# 1 "/src/treehouse/other.cpp"',  # a sibling folder whose name starts like the root
            "PyUnicode_READY(s);",
        ]
    )
    assert capi_scan.scan_preprocessed(text, "/src/tree/") == {
        ("mod.cpp", 2, "PyErr_Fetch"),
        ("mod.cpp", 2, "PyErr_Restore"),
        ("mod.cpp", 6, "Py_TPFLAGS_HAVE_FINALIZE"),
    }
    assert capi_scan.report([("mod.cpp", 2, "PyErr_Fetch")]) == [
        "mod.cpp:2: PyErr_Fetch is deprecated; use PyErr_GetRaisedException"
    ]


@pytest.mark.parametrize(
    "entry",
    [
        {"command": "c++ -DX=1 -Iinc -MD -MT out.o -MF out.o.d -o out.o -c /src/a.cpp"},
        {"arguments": ["c++", "-DX=1", "-Iinc", "-MD", "-MTout.o", "-MFout.o.d", "-oout.o", "-c", "/src/a.cpp"]},
    ],
)
def test_the_compile_command_becomes_a_preprocessing_one(entry):
    assert capi_scan.preprocess_argv(entry) == ["c++", "-DX=1", "-Iinc", "/src/a.cpp", "-E"]


@pytest.mark.skipif(shutil.which("cc") is None, reason="needs a C compiler")
def test_calls_behind_a_version_check_for_older_interpreters_are_not_reported(tmp_path, capsys):
    root, build, inc = tmp_path / "tree", tmp_path / "build", tmp_path / "include"
    for d in (root, build, inc):
        d.mkdir()
    (inc / "api.h").write_text(
        "void PyErr_Fetch(void **, void **, void **);\nvoid PyErr_Restore(void *, void *, void *);\n"
    )
    (root / "mod.c").write_text(
        '#include "api.h"\n'
        "void f(void) {\n"
        "    void *t, *v, *tb;\n"
        "#if PY_VERSION_HEX < 0x030C0000\n"
        "    PyErr_Fetch(&t, &v, &tb);\n"
        "#endif\n"
        "    PyErr_Restore(t, v, tb);\n"
        "}\n"
    )
    (root / "clean.c").write_text('#include "api.h"\nint g(void) { return 0; }\n')
    entries = [
        {
            "directory": str(build),
            "command": f"cc -DPY_VERSION_HEX=0x030E0000 -I{inc} -MD -MT {name}.o -MF {name}.o.d -o {name}.o -c {root / name}",
            "file": str(root / name),
        }
        for name in ("mod.c", "clean.c")
    ]
    commands = build / "compile_commands.json"
    commands.write_text(json.dumps(entries))
    assert capi_scan.main([str(root), str(commands)]) == 1
    assert capsys.readouterr().out == "mod.c:7: PyErr_Restore is deprecated; use PyErr_SetRaisedException\n"
    assert list(build.iterdir()) == [commands]  # nothing compiled or written beside it

    commands.write_text(json.dumps(entries[1:]))
    assert capi_scan.main([str(root), str(commands)]) == 0
    assert capsys.readouterr().out == ""
