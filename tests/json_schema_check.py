#!/usr/bin/python3
"""Validates the companion's real JSON output against docs/vellumo-cli.schema.json with the
jsonschema package (Debian's python3-jsonschema), and shows that the schema is strict enough to
catch an output that drifts.

    json_schema_check.py [--only-valid] SCHEMA [--cli PROGRAM] [--unproduced NAME]... FOLDER...

FOLDER holds the outputs the tests kept (tests/cli_run.h, VELLUMO_JSON_SAMPLES), one a file
named after its shape: list-*, reading-*, read-all-* (JSON Lines), report-*, fields-*, diff-*.
With --cli, `format --json`, `fields` and `diff --json` of PROGRAM run on a few raw reports made
here. Every shape, and every failure name the schema knows but those named --unproduced, must
have been seen, and drifts planted in them must be refused; with --only-valid, what is there
need only be valid.
"""

import argparse
import copy
import importlib.metadata
import json
import os
import subprocess
import sys
import tempfile

import jsonschema
import jsonschema.exceptions

SHAPES = {"list": "list", "reading": "reading", "read-all": "reading", "report": "report",
          "fields": "fields_command", "diff": "diff"}


def validator_for(schema, definition):
    """A validator of one shape: the whole schema, asked for one of its $defs."""
    whole = {key: value for key, value in schema.items() if key != "anyOf"}
    whole["$ref"] = "#/$defs/" + definition
    return jsonschema.Draft202012Validator(whole)


def problems_of(validator, value):
    """What is wrong with `value`, the likeliest cause first (inside a oneOf, the branch that came
    closest); empty when it is valid."""
    errors = list(validator.iter_errors(value))
    if not errors:
        return []
    best = jsonschema.exceptions.best_match(errors)
    path = "/".join(str(part) for part in best.absolute_path) or "(top)"
    return ["%s: %s" % (path, best.message[:200])] + (
        ["and %d more" % (len(errors) - 1)] if len(errors) > 1 else [])


def documents(shape, text):
    """The JSON values of one output: one line, or one a line for read --all."""
    if not text.endswith("\n"):
        raise ValueError("the output does not end with a newline")
    lines = text[:-1].split("\n")
    if shape != "read-all" and len(lines) != 1:
        raise ValueError("%d lines, not one" % len(lines))
    return [json.loads(line) for line in lines]


class Check:
    def __init__(self, schema):
        self.schema = schema
        self.validators = {name: validator_for(schema, name) for name in set(SHAPES.values())}
        self.errors = []
        self.outputs = {shape: 0 for shape in SHAPES}
        self.failures = set()
        self.samples = {}  # a valid value of each kind, for the drift check

    def output(self, shape, text, where):
        try:
            values = documents(shape, text)
        except ValueError as error:  # json.JSONDecodeError is one
            self.errors.append("%s: not JSON as printed: %s" % (where, error))
            return
        for value in values:
            problems = problems_of(self.validators[SHAPES[shape]], value)
            if problems:
                self.errors.append("%s: %s" % (where, "; ".join(problems)))
                continue
            self.outputs[shape] += 1
            kind = shape
            if SHAPES[shape] == "reading":
                kind = "reading-ok" if value["ok"] else "reading-failed"
                if not value["ok"]:
                    self.failures.add(value["failure"]["name"])
                    if value["device"] is not None:
                        kind = "reading-failed-device"
            if shape == "diff":
                changes = {d["change"] for d in value["differences"]}
                if {"changed", "added", "removed"} <= changes and any(
                        d["delta"] for d in value["differences"]):
                    self.samples.setdefault(kind, value)  # drifts are planted in each change
            elif shape != "list" or value:  # drifts are planted in a printer of a list
                self.samples.setdefault(kind, value)

    def folder(self, folder):
        for name in sorted(os.listdir(folder)):
            shape = next((s for s in sorted(SHAPES, key=len, reverse=True)
                          if name.startswith(s + "-")), None)
            if shape is None:
                self.errors.append("%s: no shape in its name" % name)
                continue
            with open(os.path.join(folder, name), encoding="utf-8") as text:
                self.output(shape, text.read(), os.path.join(folder, name))

    def program(self, cli):
        # A CP1251 report with LF in a key and a value, entries read again from inside a value,
        # lines without a colon; one whose listing is cut at its cap; an empty one.
        reports = {
            "cp1251": b"TITLE\r Model Name : \xcc\xee\xe4\xe5\xeb\xfc  Pages: 12\r"
                      b"Note: a\nb:c\r\n LF \rEmpty:\r \r",
            "cut": b"K" * 60000 + b": wide\r" + b"".join(b"Line %d: v\r" % i for i in range(30)),
            "empty": b"",
        }
        for name, raw in reports.items():
            for shape, args in (("report", ["format", "--json"]), ("fields", ["fields"])):
                run = subprocess.run([cli] + args, input=raw, capture_output=True, check=False)
                where = "%s %s (%s report)" % (os.path.basename(cli), " ".join(args), name)
                if run.returncode != 0:
                    self.errors.append("%s: exit %d" % (where, run.returncode))
                    continue
                self.output(shape, run.stdout.decode("utf-8"), where)
        self.program_diffs(cli, reports)

    def program_diffs(self, cli, reports):
        # Each report against each, the old one from a file and the new one on standard input:
        # exit 0 for one against itself, 1 for two that differ.
        with tempfile.TemporaryDirectory() as folder:
            for old_name, old_raw in reports.items():
                old_path = os.path.join(folder, old_name + ".raw")
                with open(old_path, "wb") as old_file:
                    old_file.write(old_raw)
                for new_name, new_raw in reports.items():
                    run = subprocess.run([cli, "diff", "--json", old_path, "-"], input=new_raw,
                                         capture_output=True, check=False)
                    where = "%s diff --json (%s report against %s)" % (
                        os.path.basename(cli), old_name, new_name)
                    if run.returncode != (0 if old_raw == new_raw else 1):
                        self.errors.append("%s: exit %d" % (where, run.returncode))
                        continue
                    self.output("diff", run.stdout.decode("utf-8"), where)

    def coverage(self, unproduced):
        for shape, count in self.outputs.items():
            if count == 0:
                self.errors.append("no %s output was seen" % shape)
        names = set(self.schema["$defs"]["failure_name"]["enum"])
        unknown = set(unproduced) - names
        if unknown:
            self.errors.append("--unproduced names no failure of the schema: %s" % unknown)
        missing = names - self.failures - set(unproduced)
        if missing:
            self.errors.append("no reading failed with %s" % ", ".join(sorted(missing)))
        for kind in ("reading-ok", "reading-failed", "reading-failed-device", "list", "report",
                     "diff"):
            if kind not in self.samples:
                self.errors.append("no valid %s output to plant drifts in" % kind)

    def drifts(self):
        """Outputs as they would read after a careless change: each must be refused."""
        samples = [self.samples.get(kind) for kind in
                   ("reading-ok", "reading-failed-device", "reading-failed", "list", "report",
                    "diff")]
        if None in samples:
            return 0
        done, failed, nobody, listed, report, diff = samples

        def first(change):  # a difference of that change, and with a delta for "changed"
            return lambda v: next(d for d in v["differences"]
                                  if d["change"] == change and (change != "changed" or d["delta"]))

        def changed(sample, change):
            value = copy.deepcopy(sample)
            return change(value) or value

        def without(member):
            return lambda value: value.pop(member) and None

        plants = [
            ("a member renamed", done, lambda v: v.update(entry=v.pop("entries"))),
            ("a member added", done, lambda v: v.update(version="1.6.0")),
            ("a member left out", done, without("seconds")),
            ("a count as text", done, lambda v: v.update(chunks=str(v["chunks"]))),
            ("cut as text", done, lambda v: v.update(cut="false")),
            ("an entry with both", done,
             lambda v: v["entries"].append({"key": "K", "value": "v", "text": "K: v"})),
            ("a key padded", done,
             lambda v: v["entries"].append({"key": "Model Name   ", "value": "M"})),
            ("an empty text", done, lambda v: v["entries"].append({"text": ""})),
            ("a field left out", done, lambda v: v["fields"].pop("crum") and None),
            ("ok not true", done, lambda v: v.update(ok=False)),
            ("a vendor ID in capitals", done,
             lambda v: v["device"].update(vendor_id=v["device"]["vendor_id"].upper() + "E")),
            ("a failure misspelt", failed,
             lambda v: v["failure"].update(name="no-acknowledgment")),
            ("a failure as a bare name", failed,
             lambda v: v.update(failure=v["failure"]["name"])),
            ("a reason where none belongs", failed,
             lambda v: v["failure"].update(name="header-timeout", reason="busy")),
            ("a time below zero", failed, lambda v: v.update(seconds=-1)),
            ("no device for another failure", nobody,
             lambda v: v["failure"].update(name="device-gone")),
            ("a printer without its serial", listed, lambda v: v[0].pop("serial") and None),
            ("quirks as one text", listed, lambda v: v[0].update(quirks="soft-reset,unidir")),
            ("a quirk in capitals", listed, lambda v: v[0].update(quirks=["Soft-Reset"])),
            ("a quirk twice", listed, lambda v: v[0].update(quirks=["unidir", "unidir"])),
            ("an object instead of an array", listed, lambda v: {"printers": v}),
            ("a device added", report, lambda v: v.update(device=None)),
            ("a report over the buffer", report, lambda v: v.update(bytes=102400)),
            ("a difference without its delta", diff,
             lambda v: first("changed")(v).pop("delta") and None),
            ("a delta as a number", diff,
             lambda v: first("changed")(v).update(delta=int(first("changed")(v)["delta"]))),
            ("a delta with a leading zero", diff,
             lambda v: first("changed")(v).update(delta="+0" + first("changed")(v)["delta"][1:])),
            ("a change misspelt", diff, lambda v: first("changed")(v).update(change="modified")),
            ("an added line with an old value", diff,
             lambda v: first("added")(v).update(old="0")),
            ("a removed line with a new value", diff,
             lambda v: first("removed")(v).update(new="0")),
            ("an occurrence from 0", diff, lambda v: first("removed")(v).update(occurrence=0)),
            ("a key padded", diff, lambda v: first("added")(v).update(key="Key ")),
            ("a report without its kind", diff, lambda v: v["old"].pop("kind") and None),
            ("the differences as an object", diff,
             lambda v: v.update(differences={"count": len(v["differences"])})),
            ("a member added", diff, lambda v: v.update(same=False)),
        ]
        shapes = {id(done): "reading", id(failed): "reading", id(nobody): "reading",
                  id(listed): "list", id(report): "report", id(diff): "diff"}
        caught = 0
        for what, sample, change in plants:
            shape = shapes[id(sample)]
            if problems_of(self.validators[SHAPES[shape]], changed(sample, change)):
                caught += 1
                print("drift refused: %s (%s)" % (what, shape))
            else:
                self.errors.append("drift not refused: %s (%s)" % (what, shape))
        return caught


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("schema")
    parser.add_argument("folders", nargs="+")
    parser.add_argument("--cli")
    parser.add_argument("--unproduced", action="append", default=[])
    parser.add_argument("--only-valid", action="store_true")
    args = parser.parse_args()

    version = importlib.metadata.version("jsonschema")
    print("validator: jsonschema %s from %s, draft 2020-12" %
          (version, os.path.dirname(jsonschema.__file__)))
    with open(args.schema, encoding="utf-8") as text:
        schema = json.load(text)
    jsonschema.Draft202012Validator.check_schema(schema)

    check = Check(schema)
    for folder in args.folders:
        check.folder(folder)
    if args.cli:
        check.program(args.cli)
    caught = 0
    if not args.only_valid:
        check.coverage(args.unproduced)
        caught = check.drifts()
    elif not sum(check.outputs.values()):
        check.errors.append("no output to validate")

    print("valid outputs: " + ", ".join("%s %d" % item for item in check.outputs.items()))
    print("failures seen: " + ", ".join(sorted(check.failures)))
    if args.unproduced:
        print("failures no test produces: " + ", ".join(args.unproduced))
    for error in check.errors:
        print("FAIL: " + error)
    print("%s: %d outputs, %d drifts refused, %d problems" %
          ("PASS" if not check.errors else "FAIL", sum(check.outputs.values()), caught,
           len(check.errors)))
    return 1 if check.errors else 0


if __name__ == "__main__":
    sys.exit(main())
