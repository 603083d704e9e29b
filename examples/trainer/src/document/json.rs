use super::{put, unescape, Node, Reader, Value};

impl Reader {
    // ---- JSON ----

    pub(super) fn json_space(&mut self) {
        self.skip(|c| matches!(c, ' ' | '\t' | '\n' | '\r'));
    }

    pub(super) fn json_value(&mut self) -> Result<Node, String> {
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
}
