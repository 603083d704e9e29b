//! Command line of `train_generic`.
//!
//! The launcher passes exactly these options, each followed by its value:
//! `--config`, `--output-dir`, `--steps`, `--seed` and optionally
//! `--base-ckpt`. A value is taken verbatim, whatever it looks like (empty,
//! with spaces, starting with dashes, non-ASCII, not even UTF-8 for paths).
//! Anything else is a usage error.

use std::ffi::{OsStr, OsString};
use std::path::PathBuf;

pub const USAGE: &str =
    "usage: train_generic --config <file> --output-dir <dir> --steps <n> --seed <n> [--base-ckpt <file>]";

#[derive(Debug, Clone, PartialEq)]
pub struct Args {
    pub config: PathBuf,
    pub output_dir: PathBuf,
    pub steps: u64,
    pub seed: u64,
    pub base_ckpt: Option<PathBuf>,
}

/// Parses the arguments after the program name.
pub fn parse<I: IntoIterator<Item = OsString>>(args: I) -> Result<Args, String> {
    let mut config = None;
    let mut output_dir = None;
    let mut steps = None;
    let mut seed = None;
    let mut base_ckpt = None;

    let mut it = args.into_iter();
    while let Some(opt) = it.next() {
        let name = match opt.to_str() {
            Some(s @ ("--config" | "--output-dir" | "--steps" | "--seed" | "--base-ckpt")) => s.to_string(),
            _ => return Err(format!("unexpected argument {:?}", opt)),
        };
        let value = match it.next() {
            Some(v) => v,
            None => return Err(format!("{} needs a value", name)),
        };
        let slot_taken = match name.as_str() {
            "--config" => config.replace(PathBuf::from(value)).is_some(),
            "--output-dir" => output_dir.replace(PathBuf::from(value)).is_some(),
            "--steps" => steps.replace(parse_count(&name, &value)?).is_some(),
            "--seed" => seed.replace(parse_count(&name, &value)?).is_some(),
            _ => base_ckpt.replace(PathBuf::from(value)).is_some(),
        };
        if slot_taken {
            return Err(format!("{} given more than once", name));
        }
    }

    match (config, output_dir, steps, seed) {
        (Some(config), Some(output_dir), Some(steps), Some(seed)) => {
            Ok(Args { config, output_dir, steps, seed, base_ckpt })
        }
        (None, ..) => Err("missing --config".to_string()),
        (_, None, ..) => Err("missing --output-dir".to_string()),
        (_, _, None, _) => Err("missing --steps".to_string()),
        _ => Err("missing --seed".to_string()),
    }
}

/// An unsigned decimal without sign or separators, up to 18446744073709551615.
fn parse_count(name: &str, value: &OsStr) -> Result<u64, String> {
    let text = value.to_str().unwrap_or("");
    if text.is_empty() || !text.bytes().all(|b| b.is_ascii_digit()) {
        return Err(format!("{} expects an unsigned decimal number, got {:?}", name, value));
    }
    text.parse::<u64>().map_err(|_| format!("{} value {} is larger than 18446744073709551615", name, text))
}

#[cfg(test)]
mod tests {
    use super::*;

    fn parse_strs(args: &[&str]) -> Result<Args, String> {
        parse(args.iter().map(OsString::from))
    }

    #[test]
    fn accepted_command_lines() {
        let full = |config: &str, out: &str, steps, seed, base: Option<&str>| Args {
            config: config.into(),
            output_dir: out.into(),
            steps,
            seed,
            base_ckpt: base.map(PathBuf::from),
        };
        let cases: &[(&[&str], Args)] = &[
            (
                &["--config", "c.yaml", "--output-dir", "out", "--steps", "200", "--seed", "42"],
                full("c.yaml", "out", 200, 42, None),
            ),
            (
                &["--config", "a b/ü.json", "--output-dir", "", "--steps", "0", "--seed", "0", "--base-ckpt", ""],
                full("a b/ü.json", "", 0, 0, Some("")),
            ),
            (
                &["--config", "c", "--output-dir", "o", "--steps", "18446744073709551615", "--seed", "4294967295"],
                full("c", "o", u64::MAX, 4_294_967_295, None),
            ),
            // Values are taken verbatim even when they look like options; order is free.
            (
                &[
                    "--seed",
                    "007",
                    "--base-ckpt",
                    "--steps",
                    "--steps",
                    "1",
                    "--output-dir",
                    "-o",
                    "--config",
                    "--seed",
                ],
                full("--seed", "-o", 1, 7, Some("--steps")),
            ),
        ];
        for (argv, want) in cases {
            assert_eq!(parse_strs(argv).as_ref(), Ok(want), "argv {:?}", argv);
        }
    }

    #[test]
    fn rejected_command_lines() {
        let ok = ["--config", "c", "--output-dir", "o", "--steps", "1", "--seed", "2"];
        let with = |extra: &[&'static str]| ok.iter().chain(extra).copied().collect::<Vec<_>>();
        let cases: Vec<(Vec<&str>, &str)> = vec![
            (vec![], "missing --config"),
            (ok[2..].to_vec(), "missing --config"),
            (ok[..6].to_vec(), "missing --seed"),
            (with(&["--verbose"]), "unexpected argument \"--verbose\""),
            (with(&["extra"]), "unexpected argument"),
            (with(&["--base-ckpt"]), "--base-ckpt needs a value"),
            (with(&["--seed", "3"]), "--seed given more than once"),
            (with(&["--config=x"]), "unexpected argument"),
            (with(&["-h"]), "unexpected argument"),
            (vec!["--config", "c", "--output-dir", "o", "--steps", "-1", "--seed", "2"], "--steps expects"),
            (vec!["--config", "c", "--output-dir", "o", "--steps", "+1", "--seed", "2"], "--steps expects"),
            (vec!["--config", "c", "--output-dir", "o", "--steps", " 1", "--seed", "2"], "--steps expects"),
            (vec!["--config", "c", "--output-dir", "o", "--steps", "1", "--seed", ""], "--seed expects"),
            (
                vec!["--config", "c", "--output-dir", "o", "--steps", "18446744073709551616", "--seed", "2"],
                "larger than",
            ),
        ];
        for (argv, want) in cases {
            match parse_strs(&argv) {
                Err(e) => assert!(e.contains(want), "argv {:?}: error {:?} lacks {:?}", argv, e, want),
                Ok(a) => panic!("argv {:?} accepted as {:?}", argv, a),
            }
        }
    }

    #[cfg(unix)]
    #[test]
    fn paths_need_not_be_utf8() {
        use std::os::unix::ffi::OsStringExt;
        let raw = OsString::from_vec(vec![b'o', 0xff, b'x']);
        let argv = vec![
            "--config".into(),
            "c".into(),
            "--output-dir".into(),
            raw.clone(),
            "--steps".into(),
            "1".into(),
            "--seed".into(),
            "1".into(),
        ];
        assert_eq!(parse(argv).unwrap().output_dir, PathBuf::from(raw));
    }
}
