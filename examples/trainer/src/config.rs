//! The few training settings the trainer reads from its configuration file.
//!
//! The reader is deliberately small: it does not parse JSON or YAML as such
//! (the launcher has already checked the document). It looks at each line,
//! splits it at `,` `{` `}` `[` `]` outside quotes, drops `#` comments, and
//! takes every piece of the form `key: value` or `"key": value` whose key is
//! one of the known settings. Nesting is ignored, so a known key may appear
//! only once in the whole file. Everything else is ignored.

use std::fs;
use std::path::Path;

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

const KEYS: [&str; 5] = ["learning_rate", "batch_size", "hidden_size", "dataset_size", "log_interval"];

pub fn load(path: &Path) -> Result<Settings, String> {
    let bytes = fs::read(path).map_err(|e| format!("cannot read config {:?}: {}", path, e))?;
    let text = String::from_utf8(bytes).map_err(|_| format!("config {:?} is not UTF-8 text", path))?;
    parse(&text).map_err(|e| format!("config {:?}: {}", path, e))
}

pub fn parse(text: &str) -> Result<Settings, String> {
    let mut settings = Settings::default();
    let mut seen_on: [usize; KEYS.len()] = [0; KEYS.len()];
    for (index, line) in text.lines().enumerate() {
        let line_no = index + 1;
        for piece in pieces(line) {
            let (key, value) = match key_value(piece) {
                Some(kv) => kv,
                None => continue,
            };
            let slot = match KEYS.iter().position(|k| *k == key) {
                Some(slot) => slot,
                None => continue,
            };
            if seen_on[slot] != 0 {
                return Err(format!(
                    "line {}: {} is set again (first on line {}); each setting may appear only once",
                    line_no, key, seen_on[slot]
                ));
            }
            seen_on[slot] = line_no;
            apply(&mut settings, key, value).map_err(|e| format!("line {}: {}", line_no, e))?;
        }
    }
    Ok(settings)
}

fn apply(settings: &mut Settings, key: &str, value: &str) -> Result<(), String> {
    match key {
        "learning_rate" => {
            let lr: f64 = value.parse().map_err(|_| invalid(key, value, "a number"))?;
            if !(lr.is_finite() && lr > 0.0) {
                return Err(invalid(key, value, "a positive finite number"));
            }
            settings.learning_rate = lr;
        }
        "batch_size" => settings.batch_size = bounded(key, value, MAX_BATCH_SIZE)?,
        "hidden_size" => settings.hidden_size = bounded(key, value, MAX_HIDDEN_SIZE)?,
        "dataset_size" => settings.dataset_size = bounded(key, value, MAX_DATASET_SIZE)?,
        _ => settings.log_interval = Some(bounded(key, value, usize::MAX)? as u64),
    }
    Ok(())
}

fn bounded(key: &str, value: &str, max: usize) -> Result<usize, String> {
    let want = format!("a whole number from 1 to {}", max);
    if value.is_empty() || !value.bytes().all(|b| b.is_ascii_digit()) {
        return Err(invalid(key, value, &want));
    }
    match value.parse::<usize>() {
        Ok(n) if n >= 1 && n <= max => Ok(n),
        _ => Err(invalid(key, value, &want)),
    }
}

fn invalid(key: &str, value: &str, want: &str) -> String {
    if value.is_empty() {
        format!("{} has no value (expected {})", key, want)
    } else {
        format!("{} is {:?}, expected {}", key, value, want)
    }
}

/// Splits a line at structural characters outside quotes and stops at a comment.
/// A quote opens a string only at the start of a token, so `don't` stays plain.
fn pieces(line: &str) -> Vec<&str> {
    let mut out = Vec::new();
    let mut start = 0;
    let mut quote: Option<char> = None;
    let mut escaped = false;
    let mut prev: Option<char> = None;
    for (i, c) in line.char_indices() {
        if let Some(q) = quote {
            if escaped {
                escaped = false;
            } else if c == '\\' && q == '"' {
                escaped = true;
            } else if c == q {
                quote = None;
            }
        } else {
            let at_token_start = prev.map_or(true, |p| p.is_whitespace() || ":,{}[]".contains(p));
            match c {
                '"' | '\'' if at_token_start => quote = Some(c),
                '#' if at_token_start => {
                    out.push(&line[start..i]);
                    return out;
                }
                ',' | '{' | '}' | '[' | ']' => {
                    out.push(&line[start..i]);
                    start = i + 1;
                }
                _ => {}
            }
        }
        prev = Some(c);
    }
    out.push(&line[start..]);
    out
}

/// `key: value`, `"key": value` or `- key: value`, with the value unquoted.
fn key_value(piece: &str) -> Option<(&str, &str)> {
    let mut piece = piece.trim();
    while let Some(rest) = piece.strip_prefix("- ") {
        piece = rest.trim_start();
    }
    let (key, rest) = match piece.chars().next() {
        Some(q @ ('"' | '\'')) => {
            let end = piece[1..].find(q)? + 1;
            (&piece[1..end], &piece[end + 1..])
        }
        _ => {
            let colon = piece.find(':')?;
            (piece[..colon].trim_end(), &piece[colon..])
        }
    };
    let value = rest.trim_start().strip_prefix(':')?.trim();
    Some((key, unquote(value)))
}

fn unquote(value: &str) -> &str {
    for q in ['"', '\''] {
        if value.len() >= 2 && value.starts_with(q) && value.ends_with(q) {
            return &value[1..value.len() - 1];
        }
    }
    value
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
        for (name, text) in [
            ("train.yaml", include_str!("../../configs/train.yaml")),
            ("train.json", include_str!("../../configs/train.json")),
        ] {
            assert_eq!(parse(text).as_ref(), Ok(&want), "{}", name);
        }
    }

    #[test]
    fn accepted_texts() {
        let cases: Vec<(&str, Settings)> = vec![
            ("", Settings::default()),
            ("name: x\nsteps: 9\n", Settings::default()),
            ("optimizer:\n  learning_rate: 0.05  # tuned\n", with(|s| s.learning_rate = 0.05)),
            ("learning_rate: 5e-2", with(|s| s.learning_rate = 0.05)),
            (
                "{\"data\": {\"batch_size\": 8, \"dataset_size\": 64}}",
                with(|s| {
                    s.batch_size = 8;
                    s.dataset_size = 64;
                }),
            ),
            ("model: {kind: mlp, hidden_size: 3}\n", with(|s| s.hidden_size = 3)),
            ("layers:\n  - hidden_size: 7\n", with(|s| s.hidden_size = 7)),
            ("'log_interval': '10'\n", with(|s| s.log_interval = Some(10))),
            // Known keys inside strings or comments are not settings.
            ("note: \"batch_size: 3, hidden_size: 4\"\n# learning_rate: 9\n", Settings::default()),
            ("title: don't # batch_size: 3\n", Settings::default()),
            ("model: {title: don't stop, hidden_size: 5}\n", with(|s| s.hidden_size = 5)),
            ("{\"desc\": \"a \\\" hidden_size: 3\", \"hidden_size\": 5}", with(|s| s.hidden_size = 5)),
            ("my_batch_size: 3\nbatch_sizes: 4\n", Settings::default()),
        ];
        for (text, want) in cases {
            assert_eq!(parse(text), Ok(want), "text {:?}", text);
        }
    }

    #[test]
    fn rejected_texts() {
        let cases = [
            ("learning_rate: fast", "line 1: learning_rate is \"fast\", expected a number"),
            ("learning_rate: -0.1", "positive finite"),
            ("learning_rate: inf", "positive finite"),
            ("learning_rate: NaN", "positive finite"),
            ("x: 1\nbatch_size: 0", "line 2: batch_size is \"0\""),
            ("batch_size: 2.5", "whole number"),
            ("hidden_size: 4097", "from 1 to 4096"),
            ("dataset_size: 99999999999999999999999", "whole number"),
            ("log_interval:\n  every: 3", "log_interval has no value"),
            (
                "model:\n  hidden_size: 4\nhead:\n  hidden_size: 4\n",
                "line 4: hidden_size is set again (first on line 2)",
            ),
        ];
        for (text, want) in cases {
            match parse(text) {
                Err(e) => assert!(e.contains(want), "text {:?}: error {:?} lacks {:?}", text, e, want),
                Ok(s) => panic!("text {:?} accepted as {:?}", text, s),
            }
        }
    }

    #[test]
    fn load_reports_file_problems() {
        let dir = std::env::temp_dir().join(format!("velmora-trainer-config-{}", std::process::id()));
        fs::create_dir_all(&dir).unwrap();
        let bad = dir.join("latin1.yaml");
        fs::write(&bad, b"name: caf\xe9\n").unwrap();
        let cases = [(dir.join("missing.yaml"), "cannot read config"), (bad, "is not UTF-8 text")];
        for (path, want) in &cases {
            let err = load(path).unwrap_err();
            assert!(err.contains(want), "{:?}: {}", path, err);
        }
        fs::remove_dir_all(&dir).unwrap();
    }
}
