#!/usr/bin/env python3
"""Generates the field table of the ONNX reader's wire-format decoder.

Reads a Protocol Buffers schema in the .proto text language (the vendored
third_party/onnx/onnx.proto) and writes a C++ header that lists, for every
message, its fields with number, wire kind, label and nested message type.
The decoder in model-ir/onnx/ walks that table; nothing else of the schema
reaches the C++ side.

    gen_onnx_fields.py third_party/onnx/onnx.proto -o model-ir/onnx/onnx_schema_table.hpp
    gen_onnx_fields.py third_party/onnx/onnx.proto --check model-ir/onnx/onnx_schema_table.hpp

The parser covers what a proto2/proto3 schema of this kind uses: syntax,
package, options, messages and nested messages, enums, fields with label,
type and number, oneofs, maps, reserved ranges and field options such as
[packed = true].  Anything it does not understand (imports, extensions,
groups, services) stops it with a message naming the line, so a new schema
version cannot be half-read without notice.
"""

from __future__ import annotations

import argparse
import difflib
import pathlib
import re
import sys
from dataclasses import dataclass, field

VARINT_TYPES = {"int32", "int64", "uint32", "uint64", "sint32", "sint64", "bool"}
FIXED32_TYPES = {"float", "fixed32", "sfixed32"}
FIXED64_TYPES = {"double", "fixed64", "sfixed64"}
SCALAR_KINDS = {
    **{t: "Varint" for t in VARINT_TYPES},
    **{t: "Fixed32" for t in FIXED32_TYPES},
    **{t: "Fixed64" for t in FIXED64_TYPES},
    "string": "String",
    "bytes": "Bytes",
}
MAP_KEY_TYPES = VARINT_TYPES | FIXED32_TYPES | FIXED64_TYPES | {"string"}
MAP_KEY_TYPES -= {"float", "double"}
MAX_FIELD_NUMBER = (1 << 29) - 1
RESERVED_IMPLEMENTATION_RANGE = range(19000, 20000)


class SchemaError(Exception):
    pass


# --------------------------------------------------------------------------
# Tokens


@dataclass
class Token:
    kind: str  # "ident", "int", "float", "string", "symbol"
    text: str
    line: int


TOKEN_RE = re.compile(
    r"""
    (?P<ws>\s+)
  | (?P<line_comment>//[^\n]*)
  | (?P<block_comment>/\*.*?\*/)
  | (?P<string>"(?:[^"\\\n]|\\.)*"|'(?:[^'\\\n]|\\.)*')
  | (?P<float>[0-9]+\.[0-9]*(?:[eE][+-]?[0-9]+)?|[0-9]+[eE][+-]?[0-9]+)
  | (?P<int>0[xX][0-9A-Fa-f]+|[0-9]+)
  | (?P<ident>\.?[A-Za-z_][A-Za-z0-9_]*(?:\.[A-Za-z_][A-Za-z0-9_]*)*)
  | (?P<symbol>[{}\[\]()<>;,=\-+])
    """,
    re.VERBOSE | re.DOTALL,
)


def tokenize(text: str) -> list[Token]:
    tokens: list[Token] = []
    pos = 0
    line = 1
    while pos < len(text):
        m = TOKEN_RE.match(text, pos)
        if m is None:
            raise SchemaError(f"line {line}: unexpected character {text[pos]!r}")
        kind = m.lastgroup
        chunk = m.group()
        if kind not in ("ws", "line_comment", "block_comment"):
            tokens.append(Token(kind, chunk, line))
        line += chunk.count("\n")
        pos = m.end()
    return tokens


# --------------------------------------------------------------------------
# Schema model


@dataclass
class Field:
    name: str
    number: int
    label: str  # "optional", "required", "repeated" or "" (proto3 singular, oneof member)
    type_name: str
    packed: bool | None  # explicit [packed = ...], None when not given
    oneof: str | None
    scope: str  # full name of the message that declares it
    line: int
    resolved: str = ""  # scalar type, or the full name of a message/enum


@dataclass
class Message:
    full_name: str
    fields: list[Field] = field(default_factory=list)
    reserved_numbers: list[range] = field(default_factory=list)
    reserved_names: set[str] = field(default_factory=set)


@dataclass
class Schema:
    syntax: str = "proto2"
    package: str = ""
    messages: list[Message] = field(default_factory=list)  # declaration order
    enums: set[str] = field(default_factory=set)


# --------------------------------------------------------------------------
# Parser


class Parser:
    def __init__(self, tokens: list[Token]):
        self.tokens = tokens
        self.pos = 0
        self.schema = Schema()

    # token helpers
    def peek(self, offset: int = 0) -> Token | None:
        i = self.pos + offset
        return self.tokens[i] if i < len(self.tokens) else None

    def line(self) -> int:
        tok = self.peek()
        return tok.line if tok else (self.tokens[-1].line if self.tokens else 1)

    def fail(self, what: str) -> SchemaError:
        return SchemaError(f"line {self.line()}: {what}")

    def next(self) -> Token:
        tok = self.peek()
        if tok is None:
            raise self.fail("unexpected end of file")
        self.pos += 1
        return tok

    def accept(self, text: str) -> bool:
        tok = self.peek()
        if tok is not None and tok.kind in ("symbol", "ident") and tok.text == text:
            self.pos += 1
            return True
        return False

    def expect(self, text: str) -> Token:
        tok = self.peek()
        if tok is None or tok.text != text or tok.kind not in ("symbol", "ident"):
            got = "end of file" if tok is None else repr(tok.text)
            raise self.fail(f"expected {text!r}, found {got}")
        self.pos += 1
        return tok

    def ident(self) -> str:
        tok = self.next()
        if tok.kind != "ident":
            raise SchemaError(f"line {tok.line}: expected a name, found {tok.text!r}")
        return tok.text

    def simple_ident(self) -> str:
        name = self.ident()
        if "." in name:
            raise self.fail(f"expected a simple name, found {name!r}")
        return name

    def integer(self) -> int:
        negative = self.accept("-")
        if not negative:
            self.accept("+")
        tok = self.next()
        if tok.kind != "int":
            raise SchemaError(f"line {tok.line}: expected an integer, found {tok.text!r}")
        text = tok.text
        if text[:2] in ("0x", "0X"):
            value = int(text, 16)
        elif len(text) > 1 and text[0] == "0":
            value = int(text, 8)
        else:
            value = int(text)
        return -value if negative else value

    def constant(self) -> str:
        """An option value: name, number, string or signed number."""
        tok = self.next()
        if tok.kind == "symbol" and tok.text in "+-":
            num = self.next()
            if num.kind not in ("int", "float") and num.text not in ("inf", "nan"):
                raise SchemaError(f"line {num.line}: expected a number after {tok.text!r}")
            return tok.text + num.text
        if tok.kind == "symbol" and tok.text == "{":
            raise SchemaError(f"line {tok.line}: aggregate option values are not supported")
        if tok.kind == "symbol":
            raise SchemaError(f"line {tok.line}: expected a constant, found {tok.text!r}")
        return tok.text

    def option_name(self) -> str:
        if self.accept("("):
            name = "(" + self.ident() + ")"
            self.expect(")")
            tok = self.peek()
            if tok is not None and tok.kind == "ident" and tok.text.startswith("."):
                name += self.next().text
            return name
        return self.ident()

    # file level
    def parse(self) -> Schema:
        while self.peek() is not None:
            tok = self.peek()
            if self.accept(";"):
                continue
            if tok.kind != "ident":
                raise self.fail(f"unexpected {tok.text!r}")
            if tok.text == "syntax" or tok.text == "edition":
                self.next()
                self.expect("=")
                value = self.next()
                if value.kind != "string":
                    raise SchemaError(f"line {value.line}: expected a quoted syntax name")
                syntax = value.text[1:-1]
                if tok.text == "edition" or syntax not in ("proto2", "proto3"):
                    raise SchemaError(f"line {value.line}: unsupported syntax {value.text}")
                self.schema.syntax = syntax
                self.expect(";")
            elif tok.text == "package":
                self.next()
                self.schema.package = self.ident()
                self.expect(";")
            elif tok.text == "option":
                self.parse_option_statement()
            elif tok.text == "message":
                self.next()
                self.parse_message(self.simple_ident(), "")
            elif tok.text == "enum":
                self.next()
                self.parse_enum(self.simple_ident(), "")
            else:
                raise self.fail(f"unsupported statement {tok.text!r}")
        return self.schema

    def parse_option_statement(self) -> None:
        self.expect("option")
        self.option_name()
        self.expect("=")
        self.constant()
        self.expect(";")

    def parse_field_options(self) -> dict[str, str]:
        options: dict[str, str] = {}
        if not self.accept("["):
            return options
        while True:
            name = self.option_name()
            self.expect("=")
            options[name] = self.constant()
            if self.accept("]"):
                return options
            self.expect(",")

    def parse_enum(self, name: str, scope: str) -> None:
        full = f"{scope}.{name}" if scope else name
        self.declare(full)
        self.schema.enums.add(full)
        self.expect("{")
        values = 0
        while not self.accept("}"):
            if self.accept(";"):
                continue
            tok = self.peek()
            if tok is not None and tok.kind == "ident" and tok.text == "option":
                self.parse_option_statement()
            elif tok is not None and tok.kind == "ident" and tok.text == "reserved":
                self.parse_reserved(None)
            else:
                self.simple_ident()
                self.expect("=")
                self.integer()
                self.parse_field_options()
                self.expect(";")
                values += 1
        if values == 0:
            raise self.fail(f"enum {full} has no values")

    def parse_reserved(self, message: Message | None) -> None:
        self.expect("reserved")
        while True:
            tok = self.peek()
            if tok is not None and tok.kind == "string":
                self.next()
                if message is not None:
                    message.reserved_names.add(tok.text[1:-1])
            else:
                low = self.integer()
                high = low
                if self.accept("to"):
                    high = MAX_FIELD_NUMBER if self.accept("max") else self.integer()
                if message is not None:
                    message.reserved_numbers.append(range(low, high + 1))
            if self.accept(";"):
                return
            self.expect(",")

    def declare(self, full: str) -> None:
        known = {m.full_name for m in self.schema.messages} | self.schema.enums
        if full in known:
            raise self.fail(f"{full} is declared twice")

    def parse_message(self, name: str, scope: str) -> None:
        full = f"{scope}.{name}" if scope else name
        self.declare(full)
        message = Message(full)
        self.schema.messages.append(message)
        self.expect("{")
        while not self.accept("}"):
            if self.accept(";"):
                continue
            tok = self.peek()
            if tok is None:
                raise self.fail(f"unexpected end of file inside message {full}")
            if tok.kind != "ident":
                raise self.fail(f"unexpected {tok.text!r} in message {full}")
            word = tok.text
            if word == "message":
                self.next()
                self.parse_message(self.simple_ident(), full)
            elif word == "enum":
                self.next()
                self.parse_enum(self.simple_ident(), full)
            elif word == "option":
                self.parse_option_statement()
            elif word == "reserved":
                self.parse_reserved(message)
            elif word == "oneof":
                self.next()
                oneof = self.simple_ident()
                self.expect("{")
                while not self.accept("}"):
                    if self.accept(";"):
                        continue
                    if self.peek() is not None and self.peek().text == "option":
                        self.parse_option_statement()
                        continue
                    self.parse_field(message, "", oneof)
            elif word in ("extensions", "extend", "group", "service", "import"):
                raise self.fail(f"{word!r} is not supported")
            elif word in ("optional", "required", "repeated"):
                self.next()
                self.parse_field(message, word, None)
            elif word == "map":
                self.parse_map_field(message)
            else:
                if self.schema.syntax == "proto2":
                    raise self.fail(f"field without label in proto2 message {full}")
                self.parse_field(message, "", None)

    def parse_field(self, message: Message, label: str, oneof: str | None) -> None:
        line = self.line()
        type_name = self.ident()
        if type_name == "group":
            raise self.fail("groups are not supported")
        if oneof is not None and type_name in ("optional", "required", "repeated"):
            raise self.fail("oneof members take no label")
        name = self.simple_ident()
        self.expect("=")
        number = self.integer()
        options = self.parse_field_options()
        self.expect(";")
        packed = None
        if "packed" in options:
            if options["packed"] not in ("true", "false"):
                raise SchemaError(f"line {line}: packed must be true or false")
            packed = options["packed"] == "true"
        message.fields.append(
            Field(name, number, label, type_name, packed, oneof, message.full_name, line)
        )

    def parse_map_field(self, message: Message) -> None:
        line = self.line()
        self.expect("map")
        self.expect("<")
        key_type = self.ident()
        self.expect(",")
        value_type = self.ident()
        self.expect(">")
        name = self.simple_ident()
        self.expect("=")
        number = self.integer()
        self.parse_field_options()
        self.expect(";")
        if key_type not in MAP_KEY_TYPES:
            raise SchemaError(f"line {line}: invalid map key type {key_type!r}")
        # A map travels as a repeated message with key = 1 and value = 2.
        entry_name = "".join(part[:1].upper() + part[1:] for part in name.split("_")) + "Entry"
        entry_full = f"{message.full_name}.{entry_name}"
        self.declare(entry_full)
        entry = Message(entry_full)
        entry.fields.append(Field("key", 1, "optional", key_type, None, None, entry_full, line))
        # The value type is named from the declaring message's scope.
        entry.fields.append(
            Field("value", 2, "optional", value_type, None, None, message.full_name, line))
        self.schema.messages.append(entry)
        message.fields.append(
            Field(name, number, "repeated", "." + self.qualify(entry_full), None, None,
                  message.full_name, line)
        )

    def qualify(self, full: str) -> str:
        return f"{self.schema.package}.{full}" if self.schema.package else full


# --------------------------------------------------------------------------
# Checking and resolving


def resolve_type(schema: Schema, type_name: str, scope: str, line: int) -> str:
    if type_name in SCALAR_KINDS:
        return type_name
    known = {m.full_name for m in schema.messages} | schema.enums
    if type_name.startswith("."):
        name = type_name[1:]
        prefix = schema.package + "." if schema.package else ""
        if prefix and name.startswith(prefix):
            name = name[len(prefix):]
        if name in known:
            return name
        raise SchemaError(f"line {line}: unknown type {type_name!r}")
    names = [type_name]
    if schema.package and type_name.startswith(schema.package + "."):
        names.append(type_name[len(schema.package) + 1:])
    # Innermost scope first, as protobuf resolves relative names.
    parts = scope.split(".") if scope else []
    for depth in range(len(parts), -1, -1):
        prefix = ".".join(parts[:depth])
        for name in names:
            candidate = f"{prefix}.{name}" if prefix else name
            if candidate in known:
                return candidate
    raise SchemaError(f"line {line}: unknown type {type_name!r}")


def check(schema: Schema) -> None:
    for message in schema.messages:
        numbers: dict[int, str] = {}
        names: set[str] = set()
        for f in message.fields:
            where = f"line {f.line}: {message.full_name}.{f.name}"
            if not 1 <= f.number <= MAX_FIELD_NUMBER or f.number in RESERVED_IMPLEMENTATION_RANGE:
                raise SchemaError(f"{where}: invalid field number {f.number}")
            if f.number in numbers:
                raise SchemaError(
                    f"{where}: number {f.number} is already used by {numbers[f.number]}")
            if f.name in names:
                raise SchemaError(f"{where}: name used twice")
            if any(f.number in r for r in message.reserved_numbers):
                raise SchemaError(f"{where}: number {f.number} is reserved")
            if f.name in message.reserved_names:
                raise SchemaError(f"{where}: name is reserved")
            numbers[f.number] = f.name
            names.add(f.name)
            f.resolved = resolve_type(schema, f.type_name, f.scope, f.line)
            if f.packed is not None and (f.label != "repeated" or f.resolved in ("string", "bytes")
                                         or f.resolved in {m.full_name for m in schema.messages}):
                raise SchemaError(f"{where}: only repeated numeric fields can be packed")


# --------------------------------------------------------------------------
# Output


def cpp_ident(full_name: str) -> str:
    return "k" + full_name.replace(".", "_")


def field_kind(schema: Schema, f: Field) -> str:
    if f.resolved in SCALAR_KINDS:
        return SCALAR_KINDS[f.resolved]
    if f.resolved in schema.enums:
        return "Varint"  # enums travel as varints
    return "Message"


def is_packed(schema: Schema, f: Field, kind: str) -> bool:
    if f.packed is not None:
        return f.packed
    # proto3 packs repeated numeric fields unless told otherwise.
    return (schema.syntax == "proto3" and f.label == "repeated"
            and kind in ("Varint", "Fixed32", "Fixed64"))


def render(schema: Schema, source_name: str) -> str:
    index = {m.full_name: i for i, m in enumerate(schema.messages)}
    if len(index) >= 0xFFFF:
        raise SchemaError("too many messages for a 16-bit index")
    out: list[str] = []
    emit = out.append
    emit(f"// Generated by tools/gen_onnx_fields.py from {source_name}. Do not edit:")
    emit("// change the schema or the generator and regenerate.")
    emit("#pragma once")
    emit("")
    emit('#include "model-ir/onnx/onnx_schema.hpp"')
    emit("")
    emit("namespace halvorn::onnx_schema {")
    emit("")
    emit("enum MessageIndex : std::uint16_t {")
    for m in schema.messages:
        emit(f"  {cpp_ident(m.full_name)} = {index[m.full_name]},")
    emit("};")
    emit(f"inline constexpr std::size_t kMessageCount = {len(schema.messages)};")
    for m in schema.messages:
        if not m.fields:
            continue
        emit("")
        emit(f"inline constexpr FieldSchema {cpp_ident(m.full_name)}_fields[] = {{")
        for f in sorted(m.fields, key=lambda f: f.number):
            kind = field_kind(schema, f)
            target = cpp_ident(f.resolved) if kind == "Message" else "kNoMessage"
            repeated = "true" if f.label == "repeated" else "false"
            packed = "true" if is_packed(schema, f, kind) else "false"
            note = f"  // oneof {f.oneof}" if f.oneof else ""
            emit(f"    {{{f.number}, FieldKind::{kind}, {repeated}, {packed}, {target}, "
                 f'"{f.name}"}},{note}')
        emit("};")
    emit("")
    emit("inline constexpr MessageSchema kMessages[kMessageCount] = {")
    for m in schema.messages:
        fields = f"{cpp_ident(m.full_name)}_fields" if m.fields else "{}"
        emit(f'    {{"{m.full_name}", {fields}}},')
    emit("};")
    emit("")
    emit("}  // namespace halvorn::onnx_schema")
    return "\n".join(out) + "\n"


def generate(proto_text: str, source_name: str) -> str:
    schema = Parser(tokenize(proto_text)).parse()
    check(schema)
    return render(schema, source_name)


def main(argv: list[str]) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("proto", type=pathlib.Path, help="the .proto schema to read")
    group = ap.add_mutually_exclusive_group(required=True)
    group.add_argument("-o", "--output", type=pathlib.Path, help="write the table here")
    group.add_argument("--check", type=pathlib.Path, metavar="TABLE",
                       help="exit 1 with a diff when TABLE differs from what would be generated")
    args = ap.parse_args(argv)
    try:
        text = generate(args.proto.read_text(encoding="utf-8"), args.proto.name)
    except SchemaError as e:
        print(f"{args.proto}: {e}", file=sys.stderr)
        return 2
    if args.output is not None:
        args.output.write_text(text, encoding="utf-8")
        return 0
    current = args.check.read_text(encoding="utf-8") if args.check.exists() else ""
    if current == text:
        return 0
    sys.stdout.writelines(difflib.unified_diff(
        current.splitlines(keepends=True), text.splitlines(keepends=True),
        str(args.check), "regenerated"))
    print(f"{args.check} is out of date; regenerate it with "
          f"tools/gen_onnx_fields.py {args.proto} -o {args.check}", file=sys.stderr)
    return 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
