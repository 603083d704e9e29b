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

    // ---- JSON ----

    fn json_space(&mut self) {
        self.skip(|c| matches!(c, ' ' | '\t' | '\n' | '\r'));
    }

    fn json_value(&mut self) -> Result<Node, String> {
        self.enter()?;
        let start = self.at;
        let value = match self.peek() {
            Some(open @ ('{' | '[')) => {
                self.at += 1;
                let close = if open == '{' { '}' } else { ']' };
                let (mut items, mut members) = (Vec::new(), Vec::new());
                self.json_space();
                let mut first = true;
                while !self.eat(close) {
                    if !first && !self.eat(',') {
                        return self.fail(self.at, format!("expected ',' or '{}'", close));
                    }
                    first = false;
                    self.json_space();
                    if open == '[' {
                        items.push(self.json_value()?);
                    } else {
                        let key_at = self.at;
                        if self.peek() != Some('"') {
                            return self.fail(self.at, "expected a string key");
                        }
                        let key = self.json_string()?;
                        self.json_space();
                        if !self.eat(':') {
                            return self.fail(self.at, "expected ':' after the key");
                        }
                        self.json_space();
                        let value = self.json_value()?;
                        put(&mut members, key, self.pos(key_at), value);
                    }
                    self.json_space();
                }
                if open == '[' {
                    Value::List(items)
                } else {
                    Value::Map(members)
                }
            }
            Some('"') => Value::Str(self.json_string()?),
            Some('-' | '0'..='9') => self.json_number()?,
            _ if self.word("true") => Value::Bool(true),
            _ if self.word("false") => Value::Bool(false),
            _ if self.word("null") => Value::Null,
            _ => return self.fail(self.at, "expected a JSON value"),
        };
        self.depth -= 1;
        Ok(self.node(start, value))
    }

    fn json_number(&mut self) -> Result<Value, String> {
        let start = self.at;
        self.eat('-');
        let first = self.peek();
        let n = self.skip(|c| c.is_ascii_digit());
        let mut integer = true;
        let mut ok = n == 1 || (n > 1 && first != Some('0'));
        if self.eat('.') {
            integer = false;
            ok &= self.skip(|c| c.is_ascii_digit()) > 0;
        }
        if matches!(self.peek(), Some('e' | 'E')) {
            self.at += 1;
            integer = false;
            if !self.eat('+') {
                self.eat('-');
            }
            ok &= self.skip(|c| c.is_ascii_digit()) > 0;
        }
        if !ok {
            return self.fail(start, "invalid number");
        }
        let text: String = self.text[start..self.at].iter().collect();
        match (integer, text.parse::<i128>()) {
            (true, Ok(i)) => Ok(Value::Int(i)),
            // An integer beyond 128 bits stays a (large) number, as in the check.
            (true, Err(_)) => Ok(Value::Float(text.parse().unwrap_or(f64::INFINITY))),
            _ => match text.parse::<f64>() {
                Ok(f) if f.is_finite() => Ok(Value::Float(f)),
                _ => self.fail(start, "number out of range"),
            },
        }
    }

    fn json_string(&mut self) -> Result<String, String> {
        let start = self.at;
        self.at += 1;
        let mut out = String::new();
        loop {
            let c = match self.peek() {
                Some(c) => c,
                None => return self.fail(start, "unterminated string"),
            };
            self.at += 1;
            out.push(match c {
                '"' => return Ok(out),
                '\\' => {
                    self.at += 1;
                    match self.char_at(self.at - 1) {
                        Some('u') => self.json_unicode()?,
                        e => match unescape(e, true) {
                            Some(c) => c,
                            None => return self.fail(self.at - 2, "invalid escape"),
                        },
                    }
                }
                c if c < ' ' => return self.fail(self.at - 1, "control character in a string"),
                c => c,
            });
        }
    }

    fn json_unicode(&mut self) -> Result<char, String> {
        let at = self.at - 2;
        let mut code = self.hex_at(self.at, 4);
        self.at += 4;
        if let Some(high @ 0xD800..=0xDBFF) = code {
            code = match (self.ahead("\\u"), self.hex_at(self.at + 2, 4)) {
                (true, Some(low @ 0xDC00..=0xDFFF)) => {
                    self.at += 6;
                    Some(0x10000 + ((high - 0xD800) << 10) + (low - 0xDC00))
                }
                _ => None,
            };
        }
        match code.and_then(char::from_u32) {
            Some(c) => Ok(c),
            None => self.fail(at, "invalid \\u escape"),
        }
    }

    // ---- YAML: lines and the document ----

    fn skip_inline(&mut self) {
        self.skip(|c| c == ' ' || c == '\t');
    }

    /// Whether the rest of the line is empty or a comment (skipping to it).
    fn rest_blank(&mut self) -> bool {
        self.skip_inline();
        matches!(self.peek(), None | Some('\n' | '#'))
    }

    /// `c` as an indicator: followed by a space or a line end.
    fn indicator(&self, c: char) -> bool {
        self.peek() == Some(c) && blank(self.char_at(self.at + 1))
    }

    /// `---` or `...` opening a line.
    fn marker(&self) -> Option<char> {
        let c = self.peek().filter(|&c| c == '-' || c == '.')?;
        let line_start = self.at == self.line_start(self.at);
        (line_start && self.ahead(&c.to_string().repeat(3)) && blank(self.char_at(self.at + 3))).then_some(c)
    }

    /// Skips blank and comment lines to the first character of the next line
    /// with content and returns its indentation; None at the end of the text
    /// or at a document marker. Text left on the current line is an error.
    fn next_content(&mut self) -> Result<Option<usize>, String> {
        loop {
            let start = self.line_start(self.at);
            if self.text[start..self.at].iter().all(|&c| c == ' ') {
                self.skip(|c| c == ' ');
                let indent = self.at - start;
                if self.peek() == Some('\t') {
                    return self.fail(self.at, TAB);
                }
                match self.peek() {
                    None => return Ok(None),
                    Some('\n' | '#') => {}
                    _ if self.marker().is_some() => return Ok(None),
                    _ => return Ok(Some(indent)),
                }
            } else if !self.rest_blank() {
                return self.fail(self.at, "unexpected text");
            }
            self.skip(|c| c != '\n');
            if !self.eat('\n') {
                return Ok(None);
            }
        }
    }

    fn document(&mut self) -> Result<Node, String> {
        let mut directives = false;
        while self.next_content()? == Some(0) && self.peek() == Some('%') {
            if directives || !(self.ahead("%YAML ") || self.ahead("%YAML\t")) {
                return self.fail(self.at, "directives other than one %YAML are not supported");
            }
            self.at += 5;
            self.skip_inline();
            let major = self.word("1.");
            let minor = self.skip(|c| c.is_ascii_digit());
            let minor: String = self.text[self.at - minor..self.at].iter().collect();
            if !(major && matches!(minor.parse(), Ok(1 | 2)) && self.rest_blank()) {
                return self.fail(self.at, "expected %YAML 1.1 or 1.2");
            }
            directives = true;
        }
        let node = match self.marker() {
            Some('-') => {
                self.at += 3;
                self.block_node(-1, Ctx::Doc)?
            }
            _ if directives => return self.fail(self.at, "expected '---' after the directives"),
            Some(_) => return self.fail(self.at, "a document end marker without a document"),
            None if self.peek().is_none() => self.node(0, Value::Null),
            None => self.block_node(-1, Ctx::Doc)?,
        };
        let mut ended = false;
        loop {
            let more = self.next_content()?.is_some();
            match self.marker() {
                None if !more => return Ok(node),
                Some('.') if !more => {
                    self.at += 3;
                    ended = true;
                }
                _ if more && !ended => return self.fail(self.at, "unexpected text"),
                _ => return self.fail(self.at, "a second document; a config file holds one"),
            }
        }
    }

    // ---- YAML: block structure ----

    /// The value after `---`, `key:` or `-` (or at the start of a document),
    /// on this line or indented below; `parent` is the owner's indentation.
    fn block_node(&mut self, parent: isize, ctx: Ctx) -> Result<Node, String> {
        self.enter()?;
        self.skip_inline();
        let start = self.at;
        let fresh = self.text[self.line_start(start)..start].iter().all(|&c| c == ' ');
        let anchor = self.anchor()?;
        let node = if self.rest_blank() {
            match self.next_content()? {
                // A sequence may sit at its key's indentation.
                Some(i)
                    if i as isize > parent || (ctx == Ctx::Value && i as isize == parent && self.indicator('-')) =>
                {
                    self.block_content(i, parent, true)?
                }
                _ => self.node(start, Value::Null),
            }
        } else {
            let collections = fresh || ctx == Ctx::Entry;
            if anchor.is_some() && collections && self.key_ahead() {
                return self.fail(start, "anchors on keys are not supported");
            }
            let column = self.at - self.line_start(self.at);
            self.block_content(column, parent, collections)?
        };
        self.depth -= 1;
        Ok(self.named(anchor, node))
    }

    fn block_content(&mut self, indent: usize, parent: isize, collections: bool) -> Result<Node, String> {
        if collections && self.indicator('-') {
            return self.block_seq(indent);
        }
        if collections && self.key_ahead() {
            return self.block_map(indent);
        }
        match self.peek() {
            Some('|' | '>') => self.block_scalar(parent),
            _ => self.flow_node(parent, false),
        }
    }

    /// Whether the line from here is `key: ...` (the key plain or quoted).
    fn key_ahead(&mut self) -> bool {
        let start = self.at;
        let found = self.key(false).is_ok() && {
            self.skip_inline();
            self.indicator(':')
        };
        self.at = start;
        found
    }

    /// After a collection's item: whether the next line holds a sibling.
    fn sibling(&mut self, indent: usize) -> Result<bool, String> {
        match self.next_content()? {
            Some(i) if i > indent => self.fail(self.at, "unexpected indentation"),
            Some(i) => Ok(i == indent),
            None => Ok(false),
        }
    }

    fn block_map(&mut self, indent: usize) -> Result<Node, String> {
        let start = self.at;
        let (mut members, mut keys) = (Vec::new(), Vec::new());
        loop {
            let key_at = self.at;
            let (key, resolved) = self.key(false)?;
            self.skip_inline();
            if !self.indicator(':') {
                return self.fail(self.at, "expected ': ' after the key");
            }
            self.at += 1;
            if keys.contains(&resolved) {
                return self.fail(key_at, format!("duplicate key {:?}", key));
            }
            keys.push(resolved);
            let value = self.block_node(indent as isize, Ctx::Value)?;
            put(&mut members, key, self.pos(key_at), value);
            if !self.sibling(indent)? {
                return Ok(self.node(start, Value::Map(members)));
            }
        }
    }

    fn block_seq(&mut self, indent: usize) -> Result<Node, String> {
        let start = self.at;
        let mut items = Vec::new();
        loop {
            self.at += 1; // the '-'
            self.skip(|c| c == ' ');
            if self.peek() == Some('\t') {
                return self.fail(self.at, "a tab after '-'; separate with spaces");
            }
            items.push(self.block_node(indent as isize, Ctx::Entry)?);
            if !(self.sibling(indent)? && self.indicator('-')) {
                return Ok(self.node(start, Value::List(items)));
            }
        }
    }

    /// `|` or `>` with optional chomping (`-`, `+`) and indentation indicators.
    fn block_scalar(&mut self, parent: isize) -> Result<Node, String> {
        let start = self.at;
        let folded = self.peek() == Some('>');
        self.at += 1;
        let (mut chomp, mut explicit) = (None, None);
        for _ in 0..2 {
            match self.peek() {
                Some(c @ ('+' | '-')) if chomp.is_none() => chomp = Some(c),
                Some(c @ '1'..='9') if explicit.is_none() => explicit = c.to_digit(10).map(|d| d as usize),
                _ => break,
            }
            self.at += 1;
        }
        if !self.rest_blank() {
            return self.fail(self.at, "expected a line break after the block scalar header");
        }
        self.skip(|c| c != '\n');
        let mut indent = explicit.map(|d| parent.max(0) as usize + d);
        let (mut out, mut breaks, mut started, mut more_before) = (String::new(), 0, false, false);
        while self.peek() == Some('\n') {
            let line = self.at + 1;
            let spaces = self.text[line..].iter().take_while(|&&c| c == ' ').count();
            let end = self.text[line..].iter().position(|&c| c == '\n').map_or(self.text.len(), |k| line + k);
            let empty = self.text[line + spaces..end].iter().all(|&c| c == ' ' || c == '\t');
            if self.char_at(line + spaces) == Some('\t') && indent.map_or(true, |n| spaces < n) {
                return self.fail(line + spaces, TAB);
            }
            if indent.is_none() && !empty {
                if spaces as isize <= parent {
                    breaks += 1;
                    break;
                }
                indent = Some(spaces);
            }
            let n = indent.unwrap_or(usize::MAX);
            if empty && spaces <= n {
                breaks += 1;
                self.at = end;
                continue;
            }
            if spaces < n {
                breaks += 1; // the line break that ends the last content line
                break;
            }
            let content: String = self.text[line + n..end].iter().collect();
            let more = content.starts_with([' ', '\t']);
            if started && folded && !more_before && !more {
                if breaks == 0 {
                    out.push(' ');
                }
            } else if started {
                out.push('\n');
            }
            out.extend(std::iter::repeat('\n').take(breaks));
            out.push_str(&content);
            breaks = 0;
            started = true;
            more_before = more;
            self.at = end;
        }
        let trailing = match chomp {
            Some('-') => 0,
            Some(_) => breaks,
            None => usize::from(started && breaks > 0),
        };
        out.extend(std::iter::repeat('\n').take(trailing));
        Ok(self.node(start, Value::Str(out)))
    }

    // ---- YAML: scalars, anchors, flow collections ----

    fn key(&mut self, flow: bool) -> Result<(String, Value), String> {
        let at = self.at;
        match self.peek() {
            Some('"' | '\'') => {
                let s = self.quoted()?;
                Ok((s.clone(), Value::Str(s)))
            }
            Some('&' | '!' | '*' | '[' | '{') => {
                self.fail(at, "keys other than plain or quoted scalars are not supported")
            }
            _ => {
                let s = self.plain(-1, flow, false)?;
                if s.is_empty() {
                    return self.fail(at, "expected a key");
                }
                let v = resolve(&s).or_else(|e| self.fail(at, e))?;
                Ok((s, v))
            }
        }
    }

    fn anchor(&mut self) -> Result<Option<String>, String> {
        match self.peek() {
            Some('!') => self.fail(self.at, "tags are not supported"),
            Some('&') => {
                self.at += 1;
                let name = self.name()?;
                self.skip_inline();
                Ok(Some(name))
            }
            _ => Ok(None),
        }
    }

    /// An anchor's or alias's name: ASCII letters, digits, `-` and `_`,
    /// ending at a space or one of the characters the config check lets
    /// follow a name.
    fn name(&mut self) -> Result<String, String> {
        let n = self.skip(|c| c.is_ascii_alphanumeric() || c == '-' || c == '_');
        if n == 0 || !(blank(self.peek()) || "?:,]}%@`".contains(self.peek().unwrap_or(' '))) {
            return self.fail(self.at, "an anchor or alias needs a name of ASCII letters, digits, '-' and '_'");
        }
        Ok(self.text[self.at - n..self.at].iter().collect())
    }

    fn named(&mut self, anchor: Option<String>, node: Node) -> Node {
        if let Some(name) = anchor {
            self.anchors.push((name, node.clone()));
        }
        node
    }

    fn alias(&mut self) -> Result<Node, String> {
        let at = self.at;
        self.at += 1;
        let name = self.name()?;
        let found = self.anchors.iter().rev().find(|a| a.0 == name).map(|a| a.1.value.clone());
        let value = match found {
            Some(value) => value,
            None => return self.fail(at, format!("unknown anchor {:?}", name)),
        };
        self.copied += size(&value);
        if self.copied > MAX_COPIED {
            return self.fail(at, "aliases copy too many values");
        }
        Ok(self.node(at, value))
    }

    /// A scalar, alias or flow collection; `flow` inside `[]` or `{}`.
    fn flow_node(&mut self, parent: isize, flow: bool) -> Result<Node, String> {
        self.enter()?;
        let anchor = self.anchor()?;
        let at = self.at;
        let node = match self.peek() {
            Some('*') if anchor.is_none() => self.alias()?,
            Some(',' | ']' | '}') if flow && anchor.is_some() => self.node(at, Value::Null),
            Some('[' | '{') => self.flow_collection(parent)?,
            Some('"' | '\'') => {
                let s = self.quoted()?;
                self.node(at, Value::Str(s))
            }
            _ => {
                let s = self.plain(parent, flow, true)?;
                let v = resolve(&s).or_else(|e| self.fail(at, e))?;
                self.node(at, v)
            }
        };
        self.depth -= 1;
        Ok(self.named(anchor, node))
    }

    fn flow_space(&mut self) {
        loop {
            match self.peek() {
                Some(' ' | '\t' | '\n') => self.at += 1,
                Some('#') => {
                    self.skip(|c| c != '\n');
                }
                _ => return,
            }
        }
    }

    fn flow_collection(&mut self, parent: isize) -> Result<Node, String> {
        let start = self.at;
        let close = if self.peek() == Some('[') { ']' } else { '}' };
        self.at += 1;
        let (mut items, mut members, mut keys) = (Vec::new(), Vec::new(), Vec::new());
        loop {
            self.flow_space();
            if self.peek().is_none() {
                return self.fail(start, format!("no '{}' closes this", close));
            }
            if self.eat(close) {
                break;
            }
            if close == ']' {
                items.push(self.flow_node(parent, true)?);
            } else {
                let key_at = self.at;
                let (key, resolved) = self.key(true)?;
                if keys.contains(&resolved) {
                    return self.fail(key_at, format!("duplicate key {:?}", key));
                }
                keys.push(resolved);
                self.skip_inline(); // the key's ':' is on its line
                let value = if self.eat(':') {
                    self.flow_space();
                    match self.peek() {
                        Some(',' | '}') => self.node(self.at, Value::Null),
                        _ => self.flow_node(parent, true)?,
                    }
                } else {
                    self.node(key_at, Value::Null)
                };
                put(&mut members, key, self.pos(key_at), value);
            }
            self.flow_space();
            if self.eat(close) {
                break;
            }
            if !self.eat(',') {
                return match self.peek() {
                    None => self.fail(start, format!("no '{}' closes this", close)),
                    _ => self.fail(self.at, format!("expected ',' or '{}'", close)),
                };
            }
        }
        let value = if close == ']' { Value::List(items) } else { Value::Map(members) };
        Ok(self.node(start, value))
    }

    /// A plain scalar; with `lines`, continued on more indented lines.
    fn plain(&mut self, parent: isize, flow: bool, lines: bool) -> Result<String, String> {
        let flow_indicator = |c: Option<char>| flow && matches!(c, Some(',' | '[' | ']' | '{' | '}'));
        let bad_start = match self.peek() {
            Some(':') if flow => true,
            Some(c @ ('-' | '?' | ':')) => self.indicator(c) || flow_indicator(self.char_at(self.at + 1)),
            Some(c) => "#,[]{}&*!|>'\"%@`".contains(c),
            None => false,
        };
        match self.peek() {
            Some('?') if bad_start => return self.fail(self.at, "explicit keys ('? ') are not supported"),
            Some(c) if bad_start => return self.fail(self.at, format!("a value cannot start with {:?} here", c)),
            _ => {}
        }
        let mut out = String::new();
        loop {
            let run = self.at;
            while let Some(c) = self.peek() {
                let next = self.char_at(self.at + 1);
                if c == ':' && (flow_indicator(next) || (flow && next == Some('?'))) {
                    return self.fail(self.at, "a ':' in a flow collection needs a space after it");
                }
                if c == '\n'
                    || (c == ':' && blank(next))
                    || (c == '#' && matches!(self.text[self.at - 1], ' ' | '\t'))
                    || flow_indicator(Some(c))
                {
                    break;
                }
                self.at += 1;
            }
            let text: String = self.text[run..self.at].iter().collect();
            out.push_str(text.trim_end_matches([' ', '\t']));
            if !lines || self.peek() != Some('\n') {
                return Ok(out);
            }
            // Continued on the next line with content if it is indented more
            // than the owner (any line inside a flow collection) and is no
            // comment: one line break folds to a space, each blank line
            // between is a newline. A tab is spacing here, but not within the
            // owner's indentation.
            let (mut breaks, mut indent) = (0, 0);
            while self.eat('\n') {
                breaks += 1;
                let line = self.at;
                indent = self.skip(|c| c == ' ');
                if self.peek() == Some('\t') && indent as isize <= parent {
                    return self.fail(self.at, TAB);
                }
                self.skip_inline();
                if self.peek() != Some('\n') {
                    indent = self.at - line;
                    break;
                }
            }
            let ends = matches!(self.peek(), None | Some('#')) || flow_indicator(self.peek());
            if ends || (!flow && indent as isize <= parent) || self.marker().is_some() {
                return Ok(out);
            }
            fold(&mut out, breaks);
        }
    }

    /// A single- or double-quoted scalar; line breaks inside fold like in
    /// plain scalars, the spaces around them dropped.
    fn quoted(&mut self) -> Result<String, String> {
        let start = self.at;
        let q = self.peek().unwrap_or('"');
        self.at += 1;
        let (mut out, mut escaped) = (String::new(), 0);
        loop {
            let c = match self.peek() {
                Some(c) => c,
                None => return self.fail(start, "unterminated quoted string"),
            };
            self.at += 1;
            match c {
                '\'' if q == '\'' && self.eat('\'') => out.push('\''),
                c if c == q => return Ok(out),
                '\n' => {
                    // Spaces before a line break go, except escaped ones.
                    out.truncate(out.trim_end_matches([' ', '\t']).len().max(escaped));
                    let mut breaks = 1;
                    while {
                        self.skip_inline();
                        self.eat('\n')
                    } {
                        breaks += 1;
                    }
                    fold(&mut out, breaks);
                }
                '\\' if q == '"' => {
                    let e = self.peek();
                    self.at += 1;
                    let plain = match e {
                        Some('\n') => {
                            self.skip_inline(); // an escaped line break joins the lines
                            continue;
                        }
                        Some('x') => self.hex(2),
                        Some('u') => self.hex(4),
                        Some('U') => self.hex(8),
                        e => unescape(e, false),
                    };
                    match plain {
                        Some(c) => out.push(c),
                        None => return self.fail(self.at - 1, "invalid escape in a double-quoted string"),
                    }
                    escaped = out.len();
                }
                c => out.push(c),
            }
        }
    }
}

#[cfg(test)]
mod tests {
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
}
