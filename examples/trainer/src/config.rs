//! The five training settings, read from a JSON or YAML config file and
//! checked the way `config.schema.json` declares them: each setting in its own
//! section, the descriptive entries stating what the trainer does, no unknown
//! key, and `run` free-form but holding no setting's key. So the trainer
//! accepts a file exactly when the schema does.

use std::fs;
use std::path::Path;

use crate::document::{self, Node, Pos, Value};

#[derive(Debug, Clone, PartialEq)]
pub struct Settings {
    pub learning_rate: f64,
    pub batch_size: usize,
    pub hidden_size: usize,
    pub dataset_size: usize,
    /// Steps between progress lines; `None` means about ten lines per run.
    pub log_interval: Option<u64>,
}

impl Default for Settings {
    fn default() -> Settings {
        Settings { learning_rate: 0.5, batch_size: 32, hidden_size: 16, dataset_size: 512, log_interval: None }
    }
}

pub const MAX_HIDDEN_SIZE: usize = 4096;
pub const MAX_DATASET_SIZE: usize = 1_000_000;
pub const MAX_BATCH_SIZE: usize = 1_000_000;

/// What an entry of a section holds: a setting, or the one value that states
/// what the trainer always does.
#[derive(Clone, Copy)]
enum Entry {
    Setting,
    Text(&'static str),
    Number(i128),
}

type Section = (&'static str, &'static [(&'static str, Entry)]);

const SECTIONS: [Section; 4] = [
    (
        "model",
        &[
            ("kind", Entry::Text("mlp")),
            ("inputs", Entry::Number(2)),
            ("hidden_size", Entry::Setting),
            ("activation", Entry::Text("tanh")),
            ("output", Entry::Text("logistic")),
        ],
    ),
    ("optimizer", &[("kind", Entry::Text("sgd")), ("learning_rate", Entry::Setting)]),
    (
        "data",
        &[("source", Entry::Text("synthetic_disk")), ("dataset_size", Entry::Setting), ("batch_size", Entry::Setting)],
    ),
    ("logging", &[("log_interval", Entry::Setting), ("checkpoint_name", Entry::Text("model.ckpt"))]),
];

pub fn load(path: &Path) -> Result<Settings, String> {
    let bytes = fs::read(path).map_err(|e| format!("cannot read config {:?}: {}", path, e))?;
    let text = String::from_utf8(bytes).map_err(|_| format!("config {:?} is not UTF-8 text", path))?;
    let json = path.extension().map_or(false, |e| e.eq_ignore_ascii_case("json"));
    parse(&text, json).map_err(|e| format!("config {:?}: {}", path, e))
}

pub fn parse(text: &str, json: bool) -> Result<Settings, String> {
    let root = if json { document::parse_json(text)? } else { document::parse_yaml(text)? };
    let mut settings = Settings::default();
    let sections = members("the top level", &root, "a mapping of sections (run, model, optimizer, data, logging)")?;
    for (name, at, node) in sections {
        if name == "run" {
            check_run(node)?;
            continue;
        }
        let entries = match SECTIONS.iter().find(|s| s.0 == name) {
            Some(section) => section.1,
            None => return Err(unknown(name, name, *at, "run, model, optimizer, data, logging")),
        };
        for (key, at, node) in members(name, node, "a mapping")? {
            let path = format!("{}.{}", name, key);
            match entries.iter().find(|e| e.0 == key).map(|e| e.1) {
                Some(Entry::Setting) => apply(&mut settings, key, &path, node)?,
                Some(Entry::Text(t)) if !matches!(&node.value, Value::Str(s) if s == t) => {
                    return Err(mismatch(&path, node, &format!("{:?}", t)));
                }
                Some(Entry::Number(n)) if whole(&node.value) != Some(n) => {
                    return Err(mismatch(&path, node, &n.to_string()));
                }
                Some(_) => {}
                None => {
                    let names: Vec<&str> = entries.iter().map(|e| e.0).collect();
                    return Err(unknown(&path, key, *at, &names.join(", ")));
                }
            }
        }
    }
    Ok(settings)
}

fn apply(settings: &mut Settings, key: &str, path: &str, node: &Node) -> Result<(), String> {
    if key == "learning_rate" {
        let lr = match node.value {
            Value::Int(i) => i as f64,
            Value::Float(f) => f,
            _ => f64::NAN,
        };
        if !(lr > 0.0 && lr <= f64::MAX) {
            return Err(mismatch(path, node, "a positive finite number"));
        }
        settings.learning_rate = lr;
        return Ok(());
    }
    let max = match key {
        "hidden_size" => MAX_HIDDEN_SIZE as u64,
        "dataset_size" => MAX_DATASET_SIZE as u64,
        "batch_size" => MAX_BATCH_SIZE as u64,
        _ => u64::MAX,
    };
    let n = match whole(&node.value) {
        Some(n) if n >= 1 && n <= max as i128 => n as u64,
        _ => return Err(mismatch(path, node, &format!("a whole number from 1 to {}", max))),
    };
    match key {
        "hidden_size" => settings.hidden_size = n as usize,
        "dataset_size" => settings.dataset_size = n as usize,
        "batch_size" => settings.batch_size = n as usize,
        _ => settings.log_interval = Some(n),
    }
    Ok(())
}

/// A number without a fractional part (`32.0` and `1e3` count, as in JSON Schema).
fn whole(value: &Value) -> Option<i128> {
    match *value {
        Value::Int(i) => Some(i),
        Value::Float(f) if f.fract() == 0.0 && f.abs() < 1e38 => Some(f as i128),
        _ => None,
    }
}

/// `run` describes the run: `name` and `description` are strings, `tags` a
/// list of strings, anything else free-form, but no key at any depth may be a
/// setting's (it would look like a setting and be ignored).
fn check_run(node: &Node) -> Result<(), String> {
    for (key, _, value) in members("run", node, "a mapping")? {
        let path = format!("run.{}", key);
        match (key.as_str(), &value.value) {
            ("name" | "description", Value::Str(_)) => {}
            ("name" | "description", _) => return Err(mismatch(&path, value, "a string")),
            ("tags", Value::List(tags)) => {
                if let Some((i, tag)) = tags.iter().enumerate().find(|t| !matches!(t.1.value, Value::Str(_))) {
                    return Err(mismatch(&format!("{}[{}]", path, i), tag, "a string"));
                }
            }
            ("tags", _) => return Err(mismatch(&path, value, "a list of strings")),
            _ => {}
        }
    }
    no_settings("run", node)
}

fn no_settings(path: &str, node: &Node) -> Result<(), String> {
    match &node.value {
        Value::Map(members) => {
            for (key, at, value) in members {
                let path = format!("{}.{}", path, key);
                if home(key).is_some() {
                    return Err(unknown(&path, key, *at, ""));
                }
                no_settings(&path, value)?;
            }
        }
        Value::List(items) => {
            for (i, item) in items.iter().enumerate() {
                no_settings(&format!("{}[{}]", path, i), item)?;
            }
        }
        _ => {}
    }
    Ok(())
}

/// Where a setting's key belongs (`optimizer.learning_rate`).
fn home(key: &str) -> Option<String> {
    SECTIONS.iter().find_map(|(section, entries)| {
        entries.iter().any(|e| e.0 == key && matches!(e.1, Entry::Setting)).then(|| format!("{}.{}", section, key))
    })
}

fn members<'a>(path: &str, node: &'a Node, want: &str) -> Result<&'a [(String, Pos, Node)], String> {
    match &node.value {
        Value::Map(members) => Ok(members),
        _ => Err(mismatch(path, node, want)),
    }
}

fn mismatch(path: &str, node: &Node, want: &str) -> String {
    let got = match &node.value {
        Value::Null => "null".to_string(),
        Value::Bool(b) => b.to_string(),
        Value::Int(i) => i.to_string(),
        Value::Float(f) => format!("{:?}", f),
        Value::Str(s) => format!("the string {:?}", s),
        Value::List(_) => "a list".to_string(),
        Value::Map(_) => "a mapping".to_string(),
    };
    format!("{}: expected {}, got {} (line {}, column {})", path, want, got, node.at.line, node.at.column)
}

fn unknown(path: &str, key: &str, at: Pos, allowed: &str) -> String {
    let what = match home(key) {
        Some(home) => format!("misplaced setting, expected it at {}", home),
        None => format!("unknown key, expected one of {}", allowed),
    };
    format!("{}: {} (line {}, column {})", path, what, at.line, at.column)
}

#[cfg(test)]
mod tests {
    use super::*;

    fn with(f: impl FnOnce(&mut Settings)) -> Settings {
        let mut s = Settings::default();
        f(&mut s);
        s
    }

    #[test]
    fn shipped_configs_agree() {
        let want =
            Settings { learning_rate: 0.8, batch_size: 32, hidden_size: 12, dataset_size: 400, log_interval: Some(20) };
        for (name, text, json) in [
            ("train.yaml", include_str!("../../configs/train.yaml"), false),
            ("train.json", include_str!("../../configs/train.json"), true),
        ] {
            assert_eq!(parse(text, json).as_ref(), Ok(&want), "{}", name);
        }
    }

    #[test]
    fn values_are_read_as_written() {
        let cases: Vec<(&str, bool, Settings)> = vec![
            ("{}", true, Settings::default()),
            ("optimizer:\n  learning_rate: 5e-2  # tuned\n", false, with(|s| s.learning_rate = 0.05)),
            ("optimizer: {learning_rate: 3}", false, with(|s| s.learning_rate = 3.0)),
            (
                "model: {hidden_size: 0x10}\ndata:\n  batch_size: 0o17\n  dataset_size: 1e3\n",
                false,
                with(|s| {
                    s.hidden_size = 16;
                    s.batch_size = 15;
                    s.dataset_size = 1000;
                }),
            ),
            (
                r#"{"data": {"batch_size": 32.0, "dataset_size": 0.64e3}, "logging": {"log_interval": 18446744073709551615}}"#,
                true,
                with(|s| {
                    s.dataset_size = 640;
                    s.log_interval = Some(u64::MAX);
                }),
            ),
            (
                "model:\n  hidden_size: &n 12\ndata:\n  batch_size: *n\n",
                false,
                with(|s| {
                    s.hidden_size = 12;
                    s.batch_size = 12;
                }),
            ),
            (r#"{"data": {"batch_size": 0, "batch_size": 8}}"#, true, with(|s| s.batch_size = 8)),
        ];
        for (text, json, want) in cases {
            assert_eq!(parse(text, json), Ok(want), "text {:?}", text);
        }
    }

    #[test]
    fn errors_name_the_path_and_what_was_expected() {
        let cases = [
            (
                "optimizer:\n  learning_rate: fast\n",
                false,
                "optimizer.learning_rate: expected a positive finite number, got the string \"fast\" (line 2, column 18)",
            ),
            ("# nothing\n", false, "the top level: expected a mapping of sections (run, model, optimizer, data, logging), got null (line 1, column 1)"),
            ("data:\n  hidden_size: 8\n", false, "data.hidden_size: misplaced setting, expected it at model.hidden_size (line 2, column 3)"),
            ("optimiser: {}", false, "optimiser: unknown key, expected one of run, model, optimizer, data, logging (line 1, column 1)"),
            ("logging: {log_intervall: 5}", false, "logging.log_intervall: unknown key, expected one of log_interval, checkpoint_name"),
            (r#"{"model": {"kind": "cnn"}}"#, true, "model.kind: expected \"mlp\", got the string \"cnn\" (line 1, column 20)"),
            ("model:\n  inputs: 3\n", false, "model.inputs: expected 2, got 3"),
            ("model: []", false, "model: expected a mapping, got a list (line 1, column 8)"),
            ("logging:\n  log_interval: 2.5\n", false, "expected a whole number from 1 to 18446744073709551615, got 2.5"),
            ("run:\n  tags: [a, 1]\n", false, "run.tags[1]: expected a string, got 1 (line 2, column 13)"),
            ("run:\n  notes:\n    - batch_size: 3\n", false, "run.notes[0].batch_size: misplaced setting, expected it at data.batch_size (line 3, column 7)"),
            ("model:\n\thidden_size: 3\n", false, "line 2, column 1: tab in the indentation"),
        ];
        for (text, json, want) in cases {
            match parse(text, json) {
                Err(e) => assert!(e.contains(want), "text {:?}: error {:?} lacks {:?}", text, e, want),
                Ok(s) => panic!("text {:?} accepted as {:?}", text, s),
            }
        }
    }

    #[test]
    fn load_reads_by_extension_and_reports_file_problems() {
        let dir = std::env::temp_dir().join(format!("velmora-trainer-config-{}", std::process::id()));
        fs::create_dir_all(&dir).unwrap();
        let bad = dir.join("latin1.yaml");
        fs::write(&bad, b"name: caf\xe9\n").unwrap();
        let yaml = "model:\n  hidden_size: 3\n";
        for name in ["a.yaml", "a.JSON"] {
            fs::write(dir.join(name), yaml).unwrap();
        }
        assert_eq!(load(&dir.join("a.yaml")).map(|s| s.hidden_size), Ok(3));
        let cases = [
            (dir.join("missing.yaml"), "cannot read config"),
            (bad, "is not UTF-8 text"),
            (dir.join("a.JSON"), "a.JSON\": line 1, column 1: expected a JSON value"),
        ];
        for (path, want) in &cases {
            let err = load(path).unwrap_err();
            assert!(err.contains(want), "{:?}: {}", path, err);
        }
        fs::remove_dir_all(&dir).unwrap();
    }
}
