//! Checkpoint files: a small line-oriented text format.
//!
//! ```text
//! velmora-example-trainer checkpoint 1
//! step <global step, decimal>
//! seed <seed of the run that wrote it, decimal>
//! hidden_size <decimal>
//! loss <f64>
//! w1 <f64> ... (2 * hidden_size values)
//! b1 <f64> ... (hidden_size values)
//! w2 <f64> ... (hidden_size values)
//! b2 <f64>
//! checksum <FNV-1a 64 of every byte before this line, 16 hex digits>
//! ```
//!
//! Every `<f64>` is the 16 lower-case hex digits of the IEEE 754 bit pattern,
//! so parameters survive a round trip exactly. Lines end with "\n", including
//! the last. Anything else is rejected as corrupt.

use std::fs;
use std::io::Write;
use std::path::{Path, PathBuf};

use crate::config::MAX_HIDDEN_SIZE;
use crate::model::{Model, INPUTS};

pub const FILE_NAME: &str = "model.ckpt";
const MAGIC: &str = "velmora-example-trainer checkpoint 1";

#[derive(Debug, Clone, PartialEq)]
pub struct Checkpoint {
    pub step: u64,
    pub seed: u64,
    pub loss: f64,
    pub model: Model,
}

pub fn encode(ckpt: &Checkpoint) -> String {
    let hex = |vals: &[f64]| vals.iter().map(|v| format!(" {:016x}", v.to_bits())).collect::<String>();
    let m = &ckpt.model;
    let mut text = format!(
        "{}\nstep {}\nseed {}\nhidden_size {}\nloss{}\nw1{}\nb1{}\nw2{}\nb2{}\n",
        MAGIC,
        ckpt.step,
        ckpt.seed,
        m.hidden(),
        hex(&[ckpt.loss]),
        hex(&m.w1),
        hex(&m.b1),
        hex(&m.w2),
        hex(&[m.b2])
    );
    let sum = fnv1a64(text.as_bytes());
    text.push_str(&format!("checksum {:016x}\n", sum));
    text
}

pub fn decode(text: &str) -> Result<Checkpoint, String> {
    let body_end = match text.strip_suffix('\n').and_then(|t| t.rfind('\n')) {
        Some(i) => i + 1,
        None => return Err("truncated".to_string()),
    };
    let (body, last) = text.split_at(body_end);
    let stored = field(last.trim_end_matches('\n'), "checksum")?;
    if stored != format!("{:016x}", fnv1a64(body.as_bytes())) {
        return Err("checksum mismatch (file damaged or edited)".to_string());
    }
    let mut lines = body.lines();
    if lines.next() != Some(MAGIC) {
        return Err("not a checkpoint of this trainer (unknown header)".to_string());
    }
    let mut next = |name: &str| field(lines.next().unwrap_or(""), name).map(str::to_string);
    let step = decimal(&next("step")?, "step")?;
    let seed = decimal(&next("seed")?, "seed")?;
    let hidden = decimal(&next("hidden_size")?, "hidden_size")?;
    if hidden == 0 || hidden > MAX_HIDDEN_SIZE as u64 {
        return Err(format!("hidden_size {} out of range", hidden));
    }
    let hidden = hidden as usize;
    let loss = floats(&next("loss")?, "loss", 1)?[0];
    let w1 = floats(&next("w1")?, "w1", hidden * INPUTS)?;
    let b1 = floats(&next("b1")?, "b1", hidden)?;
    let w2 = floats(&next("w2")?, "w2", hidden)?;
    let b2 = floats(&next("b2")?, "b2", 1)?[0];
    if lines.next().is_some() {
        return Err("unexpected line after b2".to_string());
    }
    let model = Model { w1, b1, w2, b2 };
    if !model.is_finite() {
        return Err("parameters are not finite".to_string());
    }
    Ok(Checkpoint { step, seed, loss, model })
}

pub fn load(path: &Path) -> Result<Checkpoint, String> {
    let bytes = fs::read(path).map_err(|e| format!("cannot read checkpoint {:?}: {}", path, e))?;
    let text = String::from_utf8(bytes).map_err(|_| format!("checkpoint {:?} is corrupt: not text", path))?;
    decode(&text).map_err(|e| format!("checkpoint {:?} is corrupt: {}", path, e))
}

/// Writes `dir/model.ckpt` atomically: a temporary file in the same
/// directory, flushed to disk, then renamed over the old checkpoint.
pub fn save(dir: &Path, ckpt: &Checkpoint) -> Result<PathBuf, String> {
    let path = dir.join(FILE_NAME);
    let tmp = dir.join(format!(".{}.{}.tmp", FILE_NAME, std::process::id()));
    let written = fs::File::create(&tmp)
        .and_then(|mut f| {
            f.write_all(encode(ckpt).as_bytes())?;
            f.sync_all()
        })
        .and_then(|_| fs::rename(&tmp, &path));
    if let Err(e) = written {
        let _ = fs::remove_file(&tmp);
        return Err(format!("cannot write checkpoint {:?}: {}", path, e));
    }
    Ok(path)
}

fn field<'a>(line: &'a str, name: &str) -> Result<&'a str, String> {
    match line.strip_prefix(name).and_then(|rest| rest.strip_prefix(' ')) {
        Some(value) => Ok(value),
        None => Err(format!("expected a {} line", name)),
    }
}

fn decimal(text: &str, name: &str) -> Result<u64, String> {
    if text.is_empty() || !text.bytes().all(|b| b.is_ascii_digit()) {
        return Err(format!("bad {} value", name));
    }
    text.parse().map_err(|_| format!("bad {} value", name))
}

fn floats(text: &str, name: &str, count: usize) -> Result<Vec<f64>, String> {
    let vals: Vec<&str> = text.split(' ').collect();
    if vals.len() != count {
        return Err(format!("{} holds {} values, expected {}", name, vals.len(), count));
    }
    vals.iter()
        .map(|v| {
            let ok = v.len() == 16 && v.bytes().all(|b| matches!(b, b'0'..=b'9' | b'a'..=b'f'));
            match u64::from_str_radix(v, 16) {
                Ok(bits) if ok => Ok(f64::from_bits(bits)),
                _ => Err(format!("bad value {:?} in {}", v, name)),
            }
        })
        .collect()
}

fn fnv1a64(bytes: &[u8]) -> u64 {
    bytes.iter().fold(0xcbf2_9ce4_8422_2325, |h, &b| (h ^ u64::from(b)).wrapping_mul(0x0000_0100_0000_01b3))
}

#[cfg(test)]
mod tests {
    use super::*;

    fn sample() -> Checkpoint {
        let mut model = Model::init(3, 9);
        model.b2 = -0.0;
        model.b1[1] = f64::MIN_POSITIVE / 4.0; // subnormal
        Checkpoint { step: u64::MAX, seed: 4_294_967_295, loss: 0.1 + 0.2, model }
    }

    fn reseal(body: &str) -> String {
        format!("{}checksum {:016x}\n", body, fnv1a64(body.as_bytes()))
    }

    #[test]
    fn round_trip_is_exact() {
        let ckpt = sample();
        let back = decode(&encode(&ckpt)).unwrap();
        assert_eq!(back, ckpt);
        assert!(back.model.b2.is_sign_negative());
    }

    #[test]
    fn damaged_files_are_rejected() {
        let good = encode(&sample());
        let body = &good[..good.rfind("checksum").unwrap()];
        let flipped = good.replacen("step 1", "step 2", 1);
        let b2_at = body.find("\nb2 ").unwrap() + 4;
        let infinite = format!("{}7ff0000000000000{}", &body[..b2_at], &body[b2_at + 16..]);
        let cases: Vec<(String, &str)> = vec![
            (String::new(), "truncated"),
            (good[..good.len() - 1].to_string(), "truncated"),
            (body.to_string(), "expected a checksum line"),
            (flipped, "checksum mismatch"),
            (reseal(&body.replacen("checkpoint 1", "checkpoint 2", 1)), "unknown header"),
            (reseal(&body.replacen("seed ", "sead ", 1)), "expected a seed line"),
            (reseal(&body.replacen("step 18446744073709551615", "step 18446744073709551616", 1)), "bad step"),
            (reseal(&body.replacen("hidden_size 3", "hidden_size 0", 1)), "out of range"),
            (reseal(&body.replacen("hidden_size 3", "hidden_size 2", 1)), "w1 holds 6 values, expected 4"),
            (reseal(&body.replacen("\nb2 ", "\nb2 0000000000000000 ", 1)), "b2 holds 2 values"),
            (reseal(&infinite), "not finite"),
            (reseal(&body.replacen("\nw2 ", "\nw2 X", 1)), "bad value"),
            (reseal(&format!("{}extra 1\n", body)), "unexpected line"),
        ];
        for (text, want) in cases {
            match decode(&text) {
                Err(e) => assert!(e.contains(want), "error {:?} lacks {:?} for\n{}", e, want, text),
                Ok(_) => panic!("accepted:\n{}", text),
            }
        }
    }

    #[test]
    fn save_replaces_atomically_and_load_reads_back() {
        let dir = std::env::temp_dir().join(format!("velmora-trainer-ckpt-{}", std::process::id()));
        fs::create_dir_all(&dir).unwrap();
        let mut ckpt = sample();
        let path = save(&dir, &ckpt).unwrap();
        ckpt.step = 7;
        assert_eq!(save(&dir, &ckpt).unwrap(), path);
        assert_eq!(load(&path).unwrap(), ckpt);
        let names: Vec<_> = fs::read_dir(&dir).unwrap().map(|e| e.unwrap().file_name()).collect();
        assert_eq!(names, vec![std::ffi::OsString::from(FILE_NAME)], "temporary file left behind");
        fs::write(&path, b"\xff\xfe").unwrap();
        assert!(load(&path).unwrap_err().contains("not text"));
        let missing_dir = dir.join("missing");
        assert!(save(&missing_dir, &ckpt).unwrap_err().contains("cannot write checkpoint"));
        fs::remove_dir_all(&dir).unwrap();
    }
}
