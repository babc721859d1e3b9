"""`orvane profile --device-id`: its help states the default actually used."""

from orvane.cli import build_parser, main


def device_id_help():
    parser = build_parser()
    sub = next(a for a in parser._actions if a.dest == "command" or getattr(a, "choices", None))
    profile = sub.choices["profile"]
    return next(a.help for a in profile._actions if "--device-id" in a.option_strings)


def test_device_id_help_names_the_default_that_is_used(tmp_path, capsys):
    path = tmp_path / "pump-7.csv"
    path.write_text("timestamp,x\n" + "".join(f"t{i},{i}\n" for i in range(6)))
    assert main(["profile", str(path), "--json"]) == 0
    out = capsys.readouterr().out
    assert '"pump-7"' in out
    assert "a fresh one" not in device_id_help()
    assert "file's name without its extension" in device_id_help()
