use super::*;

/// A tree in a compact form: `~`, `1` (integer), `1.0` (float), `"s"`, `[..]`, `{k: v}`.
fn show(n: &Node) -> String {
    let join = |items: Vec<String>| items.join(", ");
    match &n.value {
        Value::Null => "~".to_string(),
        Value::Bool(b) => b.to_string(),
        Value::Int(i) => i.to_string(),
        Value::Float(f) => format!("{:?}", f),
        Value::Str(s) => format!("{:?}", s),
        Value::List(items) => format!("[{}]", join(items.iter().map(show).collect())),
        Value::Map(m) => format!("{{{}}}", join(m.iter().map(|(k, _, v)| format!("{}: {}", k, show(v))).collect())),
    }
}

#[test]
fn yaml_trees() {
    let cases = [
        (
            "a:\n  b: 1\n  c:\n  - x\n  -\n  - - y\n    - z: ~\n      w: 2\nd: e\n",
            r#"{a: {b: 1, c: ["x", ~, ["y", {z: ~, w: 2}]]}, d: "e"}"#,
        ),
        ("- {a: [1, 2,], 'b': \"c\",  # note\n   d}\n- []\n", r#"[{a: [1, 2], b: "c", d: ~}, []]"#),
        (
            "a: x\n  y\n\n  z #c\nb: \"p \\t\n   q\\\n   r\\x41\\u00e9\"\nc: 'it''s\n\n  s'\n",
            r#"{a: "x y\nz", b: "p \t qrAé", c: "it's\ns"}"#,
        ),
        (
            "a: |\n  x\n   y\n\nb: >-\n  p\n  q\n\n  r\n   s\nc: |+\n  k\n\nd: |2-\n    i\n",
            r#"{a: "x\n y\n", b: "p q\nr\n s", c: "k\n\n", d: "  i"}"#,
        ),
        ("a: &x {b: 1}\nc: *x\nd: &y 2\ne: *y\n", "{a: {b: 1}, c: {b: 1}, d: 2, e: 2}"),
        (
            "[0x1F, -0o17, 0b11, +8, -0, 1_0, 010, 1e3, .5, -.inf, .nan, 1e400, True, Null, 2001-12-14, '1']",
            r#"[31, -15, 3, 8, 0, "1_0", "010", 1000.0, 0.5, -inf, NaN, "1e400", true, ~, "2001-12-14", "1"]"#,
        ),
        (
            "[18446744073709551615, -9223372036854775808, 123456789012345678901234567890123456789012]",
            "[18446744073709551615, -9223372036854775808, 1.2345678901234568e41]",
        ),
        ("%YAML\t1.2\n--- # start\n{1: a, \"1\": b, u: http://x:8}\n...\n# end\n", r#"{1: "b", u: "http://x:8"}"#),
        ("\u{feff}a:\r\n  - b\r  - [c\rd, &e ]\r\n", r#"{a: ["b", ["c d", ~]]}"#),
        ("--- |\n  text\n", r#""text\n""#),
        ("", "~"),
    ];
    for (text, want) in cases {
        match parse_yaml(text) {
            Ok(node) => assert_eq!(show(&node), want, "{:?}", text),
            Err(e) => panic!("{:?}: {}", text, e),
        }
    }
}

#[test]
fn json_trees() {
    let text = r#" {"a": [1, -0, 2.50, 1E2, 123456789012345678901234567890123456789012, true, null],
        "s": "q\"\\\/\b\f\n\r\t\u00e9\ud83d\ude00", "a": {}} "#;
    let want = r#"{a: {}, s: "q\"\\/\u{8}\u{c}\n\r\té😀"}"#;
    assert_eq!(parse_json(text).map(|n| show(&n)), Ok(want.to_string()));
    let list = parse_json("[1, -0, 2.50, 1E2, 123456789012345678901234567890123456789012, true, null]");
    assert_eq!(list.map(|n| show(&n)), Ok("[1, 0, 2.5, 100.0, 1.2345678901234568e41, true, ~]".to_string()));
}

#[test]
fn refusals_name_line_and_column() {
    let deep = "[".repeat(300);
    let cases = [
        (false, "a: 1\n  b: 2\n", "line 2, column 4: unexpected text"),
        (false, "a:\n  b: 1\n c: 2\n", "line 3, column 2: unexpected indentation"),
        (false, "a: 1\na: 2\n", "line 2, column 1: duplicate key \"a\""),
        (false, "a: {1: x, 0x1: y}\n", "line 1, column 11: duplicate key \"0x1\""),
        (false, "a: b: c\n", "line 1, column 5: unexpected text"),
        (false, "a: !!int 5\n", "line 1, column 4: tags are not supported"),
        (false, "? a\n: 1\n", "line 1, column 1: explicit keys"),
        (false, "&k a: 1\n", "line 1, column 1: anchors on keys"),
        (false, "a: *nope\n", "line 1, column 4: unknown anchor \"nope\""),
        (false, "a: &n\u{e9} b\n", "line 1, column 6: an anchor or alias needs a name"),
        (false, "a: &n[1]\n", "line 1, column 6: an anchor or alias needs a name"),
        (false, "a: -\n", "line 1, column 4: a value cannot start with '-'"),
        (false, "- \tx\n", "line 1, column 3: a tab after '-'"),
        (false, "a: [b, c\n", "line 1, column 4: no ']' closes this"),
        (false, "a: {b:[1]}\n", "line 1, column 6: a ':' in a flow collection needs a space"),
        (false, "a: [:b]\n", "line 1, column 5: a value cannot start with ':'"),
        (false, "a: {b\n  : 1}\n", "line 2, column 3: expected ',' or '}'"),
        (false, "a: \"b\\q\"\n", "line 1, column 7: invalid escape"),
        (false, "a: 'b\n", "line 1, column 4: unterminated quoted string"),
        (false, "a: 18446744073709551616\n", "line 1, column 4: integer out of the 64-bit range"),
        (false, "a: 1\n---\nb: 2\n", "line 2, column 1: a second document"),
        (false, "%TAG ! x\n---\n", "line 1, column 1: directives other than one %YAML"),
        (false, "%YAML 1.2\n%YAML 1.2\n---\n", "line 2, column 1: directives other than one %YAML"),
        (false, "%YAML 1.3\n---\n", "line 1, column 10: expected %YAML 1.1 or 1.2"),
        (false, &deep, "line 1, column 200: values nested more than 200 deep"),
        (true, &deep, "line 1, column 201: values nested more than 200 deep"),
        (true, "", "line 1, column 1: expected a JSON value"),
        (true, "\u{feff}{}", "line 1, column 1: expected a JSON value"),
        (true, "{\"a\": 1,}", "line 1, column 9: expected a string key"),
        (true, "[01]", "line 1, column 2: invalid number"),
        (true, "[1e309]", "line 1, column 2: number out of range"),
        (true, "[\"\\ud83d\"]", "line 1, column 3: invalid \\u escape"),
        (true, "[\"\t\"]", "line 1, column 3: control character"),
        (true, "{} {}", "line 1, column 4: text after the JSON value"),
    ];
    for (json, text, want) in cases {
        let got = if json { parse_json(text) } else { parse_yaml(text) };
        match got {
            Err(e) => assert!(e.starts_with(want), "{:?}: error {:?}, expected {:?}", text, e, want),
            Ok(n) => panic!("{:?} read as {}", text, show(&n)),
        }
    }
}
