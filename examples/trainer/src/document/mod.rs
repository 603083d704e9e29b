//! A config file as a tree of values.
//!
//! JSON is read whole. YAML is read as far as config files use it: block
//! mappings and sequences, flow `{}` and `[]`, plain, single- and
//! double-quoted scalars (also over several lines), literal `|` and folded `>`
//! block scalars, comments, anchors and aliases, one document with optional
//! `---` and `...` markers and a `%YAML 1.1` or `1.2` directive. Plain scalars
//! resolve as the config check resolves them: null, booleans, integers
//! (decimal, `0x`, `0o`, `0b`), floats (`1.0e-3`, `.5`, `.inf`, `.nan`); an
//! integer beyond 64 bits is an error there, so it is one here, and so are
//! tabs in the indentation. What the reader does not support (tags, `?` keys,
//! collections or anchors as keys) is an error naming its line and column,
//! never a guess.

mod json;
#[cfg(test)]
mod tests;
mod yaml;

#[derive(Debug, Clone, Copy, PartialEq)]
pub struct Pos {
    pub line: usize,
    pub column: usize,
}

#[derive(Debug, Clone, PartialEq)]
pub enum Value {
    Null,
    Bool(bool),
    Int(i128),
    Float(f64),
    Str(String),
    List(Vec<Node>),
    /// Keys in document order, each with its position; a repeated JSON key
    /// keeps its first place and its last value.
    Map(Vec<(String, Pos, Node)>),
}

#[derive(Debug, Clone, PartialEq)]
pub struct Node {
    pub value: Value,
    pub at: Pos,
}

const MAX_DEPTH: usize = 200;
/// Values that aliases may copy in all, against documents that nest aliases
/// to grow without bound.
const MAX_COPIED: usize = 1_000_000;

pub fn parse_json(text: &str) -> Result<Node, String> {
    let mut r = Reader::new(text);
    r.json_space();
    let node = r.json_value()?;
    r.json_space();
    match r.peek() {
        None => Ok(node),
        Some(_) => r.fail(r.at, "text after the JSON value"),
    }
}

pub fn parse_yaml(text: &str) -> Result<Node, String> {
    let text = text.strip_prefix('\u{feff}').unwrap_or(text).replace("\r\n", "\n").replace('\r', "\n");
    Reader::new(&text).document()
}

struct Reader {
    text: Vec<char>,
    /// Index of the first character of each line.
    lines: Vec<usize>,
    at: usize,
    depth: usize,
    anchors: Vec<(String, Node)>,
    copied: usize,
}

#[derive(Clone, Copy, PartialEq)]
enum Ctx {
    Doc,
    Value,
    Entry,
}

fn blank(c: Option<char>) -> bool {
    matches!(c, None | Some(' ' | '\t' | '\n'))
}

fn put(members: &mut Vec<(String, Pos, Node)>, key: String, at: Pos, value: Node) {
    match members.iter_mut().find(|m| m.0 == key) {
        Some(m) => m.2 = value,
        None => members.push((key, at, value)),
    }
}

/// Escapes of double-quoted YAML strings and what they stand for (`\x`,
/// `\u`, `\U` and the escaped line break aside); JSON has the first eight.
const ESCAPED: &str = "\"\\/bfnrt\t0ave N_LP";
const MEANT: &str = "\"\\/\u{8}\u{c}\n\r\t\t\0\u{7}\u{b}\u{1b} \u{85}\u{a0}\u{2028}\u{2029}";

fn unescape(e: Option<char>, json: bool) -> Option<char> {
    let found = ESCAPED.chars().position(|c| Some(c) == e).filter(|&i| !json || i < 8)?;
    MEANT.chars().nth(found)
}

const TAB: &str = "tab in the indentation; indent with spaces";

/// Line folding in flow scalars: one line break is a space, each further
/// one (a blank line) a newline.
fn fold(out: &mut String, breaks: usize) {
    out.push_str(if breaks == 1 { " " } else { "" });
    out.extend(std::iter::repeat('\n').take(breaks - 1));
}

fn size(v: &Value) -> usize {
    1 + match v {
        Value::List(items) => items.iter().map(|n| size(&n.value)).sum(),
        Value::Map(members) => members.iter().map(|m| size(&m.2.value)).sum(),
        _ => 0,
    }
}

/// A plain YAML scalar's value; an error for an integer beyond 64 bits.
fn resolve(s: &str) -> Result<Value, &'static str> {
    match s {
        "" | "~" | "null" | "Null" | "NULL" => return Ok(Value::Null),
        "true" | "True" | "TRUE" => return Ok(Value::Bool(true)),
        "false" | "False" | "FALSE" => return Ok(Value::Bool(false)),
        _ => {}
    }
    let text = Ok(Value::Str(s.to_string()));
    let negative = s.starts_with('-');
    let unsigned = s.strip_prefix(['+', '-']).unwrap_or(s);
    if unsigned.len() > 1 && unsigned.starts_with('0') && unsigned.bytes().all(|b| b.is_ascii_digit()) {
        return text; // a leading zero: neither an integer nor a float
    }
    if !s.contains('.') {
        let (digits, radix) = match unsigned.get(..2) {
            Some("0x") => (&unsigned[2..], 16),
            Some("0o") => (&unsigned[2..], 8),
            Some("0b") => (&unsigned[2..], 2),
            _ => (unsigned, 10),
        };
        if !digits.is_empty() && digits.chars().all(|c| c.is_digit(radix)) {
            match u128::from_str_radix(digits, radix) {
                Ok(m) if !negative && m <= u64::MAX as u128 => return Ok(Value::Int(m as i128)),
                Ok(m) if negative && m <= 1 << 63 => return Ok(Value::Int(-(m as i128))),
                Ok(m) if !negative || m <= 1 << 127 => return Err("integer out of the 64-bit range"),
                _ => {} // beyond 128 bits: a float if it reads as one
            }
        }
    }
    let u = match s.strip_prefix('+') {
        Some(rest) if rest.starts_with(['+', '-']) => return text,
        Some(rest) => rest,
        None => s,
    };
    match (u, s) {
        (".inf" | ".Inf" | ".INF", _) => return Ok(Value::Float(f64::INFINITY)),
        (_, "-.inf" | "-.Inf" | "-.INF") => return Ok(Value::Float(f64::NEG_INFINITY)),
        (_, ".nan" | ".NaN" | ".NAN") => return Ok(Value::Float(f64::NAN)),
        _ => {}
    }
    // Optional '-', digits with one optional '.', at least one digit, optional exponent.
    let body = u.strip_prefix('-').unwrap_or(u);
    let (mantissa, exponent) = body.split_at(body.find(['e', 'E']).unwrap_or(body.len()));
    let exponent = exponent.get(1..).map(|e| e.strip_prefix(['+', '-']).unwrap_or(e));
    let syntax = mantissa.bytes().any(|b| b.is_ascii_digit())
        && mantissa.split('.').count() <= 2
        && mantissa.bytes().all(|b| b.is_ascii_digit() || b == b'.')
        && exponent.map_or(true, |e| !e.is_empty() && e.bytes().all(|b| b.is_ascii_digit()));
    match u.parse::<f64>() {
        Ok(f) if syntax && f.is_finite() => Ok(Value::Float(f)),
        _ => text, // also a float that overflows, as in the check
    }
}

impl Reader {
    fn new(text: &str) -> Reader {
        let text: Vec<char> = text.chars().collect();
        let mut lines = vec![0];
        lines.extend(text.iter().enumerate().filter(|c| *c.1 == '\n').map(|c| c.0 + 1));
        Reader { text, lines, at: 0, depth: 0, anchors: Vec::new(), copied: 0 }
    }

    fn peek(&self) -> Option<char> {
        self.char_at(self.at)
    }

    fn char_at(&self, i: usize) -> Option<char> {
        self.text.get(i).copied()
    }

    fn eat(&mut self, c: char) -> bool {
        let hit = self.peek() == Some(c);
        if hit {
            self.at += 1;
        }
        hit
    }

    fn ahead(&self, s: &str) -> bool {
        s.chars().enumerate().all(|(k, c)| self.char_at(self.at + k) == Some(c))
    }

    /// Moves past the characters that match; returns how many.
    fn skip(&mut self, f: impl Fn(char) -> bool) -> usize {
        let start = self.at;
        while self.peek().map_or(false, &f) {
            self.at += 1;
        }
        self.at - start
    }

    fn word(&mut self, w: &str) -> bool {
        let hit = self.ahead(w);
        if hit {
            self.at += w.len();
        }
        hit
    }

    fn pos(&self, i: usize) -> Pos {
        let line = self.lines.partition_point(|&start| start <= i);
        Pos { line, column: i - self.lines[line - 1] + 1 }
    }

    fn line_start(&self, i: usize) -> usize {
        self.lines[self.pos(i).line - 1]
    }

    fn fail<T>(&self, i: usize, what: impl std::fmt::Display) -> Result<T, String> {
        let p = self.pos(i);
        Err(format!("line {}, column {}: {}", p.line, p.column, what))
    }

    fn node(&self, i: usize, value: Value) -> Node {
        Node { value, at: self.pos(i) }
    }

    fn enter(&mut self) -> Result<(), String> {
        self.depth += 1;
        if self.depth > MAX_DEPTH {
            return self.fail(self.at, format!("values nested more than {} deep", MAX_DEPTH));
        }
        Ok(())
    }

    /// The `digits` hex digits at `i`.
    fn hex_at(&self, i: usize, digits: usize) -> Option<u32> {
        let s = self.text.get(i..i + digits)?;
        s.iter().try_fold(0, |n, c| Some(n * 16 + c.to_digit(16)?))
    }

    fn hex(&mut self, digits: usize) -> Option<char> {
        let c = self.hex_at(self.at, digits).and_then(char::from_u32);
        if c.is_some() {
            self.at += digits;
        }
        c
    }
}
