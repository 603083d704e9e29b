//! The trainer on the table of configs that tests/check/test_trainer_schema.py
//! validates against config.schema.json: the built binary accepts a row's
//! config exactly when the schema does.

use std::fs;
use std::path::Path;
use std::process::Command;

/// The JSON values the table uses.
#[derive(Debug)]
enum Json {
    Null,
    Bool(bool),
    Number,
    Str(String),
    List(Vec<Json>),
    Object(Vec<(String, Json)>),
}

impl Json {
    fn get(&self, key: &str) -> Option<&Json> {
        match self {
            Json::Object(members) => members.iter().find(|(k, _)| k == key).map(|(_, v)| v),
            _ => None,
        }
    }
    fn str(&self, key: &str) -> Option<&str> {
        match self.get(key) {
            Some(Json::Str(s)) => Some(s),
            _ => None,
        }
    }
    fn bool(&self, key: &str) -> Option<bool> {
        match self.get(key) {
            Some(Json::Bool(b)) => Some(*b),
            _ => None,
        }
    }
}

/// A small JSON reader, enough for a well-formed table; it panics on anything else.
struct Reader<'a> {
    text: &'a [u8],
    at: usize,
}

impl<'a> Reader<'a> {
    fn skip_space(&mut self) {
        while self.at < self.text.len() && self.text[self.at].is_ascii_whitespace() {
            self.at += 1;
        }
    }
    fn eat(&mut self, c: u8) -> bool {
        self.skip_space();
        let found = self.text.get(self.at) == Some(&c);
        if found {
            self.at += 1;
        }
        found
    }
    fn expect(&mut self, c: u8) {
        assert!(self.eat(c), "table: expected {:?} at byte {}", c as char, self.at);
    }
    fn word(&mut self, w: &str) -> bool {
        let found = self.text[self.at..].starts_with(w.as_bytes());
        if found {
            self.at += w.len();
        }
        found
    }
    fn value(&mut self) -> Json {
        self.skip_space();
        match self.text.get(self.at).copied() {
            Some(b'{') => Json::Object(self.sequence(b'{', b'}', |r| {
                let key = r.string();
                r.expect(b':');
                (key, r.value())
            })),
            Some(b'[') => Json::List(self.sequence(b'[', b']', |r| r.value())),
            Some(b'"') => Json::Str(self.string()),
            _ if self.word("true") => Json::Bool(true),
            _ if self.word("false") => Json::Bool(false),
            _ if self.word("null") => Json::Null,
            Some(b'-' | b'0'..=b'9') => {
                while self.at < self.text.len() && b"+-.eE0123456789".contains(&self.text[self.at]) {
                    self.at += 1;
                }
                Json::Number
            }
            _ => panic!("table: unexpected text at byte {}", self.at),
        }
    }
    fn sequence<T>(&mut self, open: u8, close: u8, mut item: impl FnMut(&mut Self) -> T) -> Vec<T> {
        self.expect(open);
        let mut items = Vec::new();
        if self.eat(close) {
            return items;
        }
        loop {
            items.push(item(self));
            if self.eat(close) {
                return items;
            }
            self.expect(b',');
        }
    }
    fn string(&mut self) -> String {
        self.expect(b'"');
        let mut out = Vec::new();
        loop {
            let c = self.text[self.at];
            self.at += 1;
            match c {
                b'"' => return String::from_utf8(out).expect("table: UTF-8"),
                b'\\' => {
                    let e = self.text[self.at];
                    self.at += 1;
                    let plain = match e {
                        b'n' => '\n',
                        b't' => '\t',
                        b'r' => '\r',
                        b'"' | b'\\' | b'/' => e as char,
                        b'u' => {
                            let hex = std::str::from_utf8(&self.text[self.at..self.at + 4]).unwrap();
                            self.at += 4;
                            char::from_u32(u32::from_str_radix(hex, 16).unwrap()).expect("table: \\u escape")
                        }
                        _ => panic!("table: escape \\{} at byte {}", e as char, self.at),
                    };
                    out.extend_from_slice(plain.encode_utf8(&mut [0; 4]).as_bytes());
                }
                _ => out.push(c),
            }
        }
    }
}

fn parse_table(text: &str) -> Vec<Json> {
    let mut reader = Reader { text: text.as_bytes(), at: 0 };
    let rows = match reader.value() {
        Json::List(rows) => rows,
        other => panic!("table: not a list: {:?}", other),
    };
    reader.skip_space();
    assert_eq!(reader.at, text.len(), "table: text after the list");
    rows
}

#[test]
fn reader_reads_the_table_format() {
    let rows = parse_table(r#" [{"name": "a\"b\\\n\u00fc/\/", "n": [1, -2.5e+3, {}], "ok": true, "x": null}, {}] "#);
    assert_eq!(rows.len(), 2);
    assert_eq!(rows[0].str("name"), Some("a\"b\\\nü//"));
    assert_eq!(rows[0].bool("ok"), Some(true));
    assert!(matches!(rows[0].get("n"), Some(Json::List(l)) if l.len() == 3));
    assert!(matches!(rows[0].get("x"), Some(Json::Null)));
    assert!(rows[1].get("name").is_none());
}

#[test]
fn trainer_accepts_what_the_schema_accepts() {
    let manifest = Path::new(env!("CARGO_MANIFEST_DIR"));
    let rows = parse_table(&fs::read_to_string(manifest.join("tests/schema_cases.json")).unwrap());
    assert!(rows.len() >= 2, "the table has {} rows", rows.len());
    let dir = std::env::temp_dir().join(format!("velmora trainer schema {}", std::process::id()));
    let _ = fs::remove_dir_all(&dir);
    fs::create_dir_all(&dir).unwrap();

    let mut wrong = Vec::new();
    for (i, row) in rows.iter().enumerate() {
        let name = row.str("name").expect("row without a name");
        if let Json::Object(fields) = row {
            let extra: Vec<&String> = fields
                .iter()
                .map(|f| &f.0)
                .filter(|k| !["name", "kind", "file", "config", "accepted"].contains(&k.as_str()))
                .collect();
            assert!(extra.is_empty(), "row {:?}: unknown fields {:?}", name, extra);
        }
        let kind = row.str("kind").expect("row without a kind");
        let config = match (row.str("file"), row.str("config")) {
            (Some(file), None) => manifest.join("../..").join(file),
            (None, Some(text)) => {
                let path = dir.join(format!("{}.{}", i, kind));
                fs::write(&path, text).unwrap();
                path
            }
            _ => panic!("row {:?}: needs one of file and config", name),
        };
        let want = row.bool("accepted").expect("row without accepted");

        let out = dir.join(format!("out {}", i));
        let o = Command::new(env!("CARGO_BIN_EXE_train_generic"))
            .arg("--config")
            .arg(&config)
            .arg("--output-dir")
            .arg(&out)
            .args(["--steps", "0", "--seed", "1"])
            .output()
            .unwrap();
        let stderr = String::from_utf8_lossy(&o.stderr);
        let got = match o.status.code() {
            Some(0) => true,
            Some(1) if stderr.contains("error: config ") => false,
            _ => panic!("row {:?}: status {:?}, stderr {:?}", name, o.status, stderr),
        };
        if got != want {
            wrong.push(format!("{:?}: trainer accepted {}, expected {} ({})", name, got, want, stderr.trim()));
        }
    }
    fs::remove_dir_all(&dir).unwrap();
    assert!(wrong.is_empty(), "{} of {} rows:\n{}", wrong.len(), rows.len(), wrong.join("\n"));
}
