use super::{blank, fold, put, resolve, size, unescape, Ctx, Node, Reader, Value, MAX_COPIED, TAB};

impl Reader {
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

    pub(super) fn document(&mut self) -> Result<Node, String> {
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
