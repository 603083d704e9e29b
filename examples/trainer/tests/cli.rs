//! The built `train_generic` binary, driven the way the launcher drives it.

use std::fs;
use std::path::{Path, PathBuf};
use std::process::{Command, Output};

fn configs() -> PathBuf {
    Path::new(env!("CARGO_MANIFEST_DIR")).join("../configs")
}

fn scratch(name: &str) -> PathBuf {
    let dir = std::env::temp_dir().join(format!("velmora trainer cli ü {} {}", name, std::process::id()));
    let _ = fs::remove_dir_all(&dir);
    fs::create_dir_all(&dir).unwrap();
    dir
}

fn train(args: &[&str]) -> Output {
    Command::new(env!("CARGO_BIN_EXE_train_generic")).args(args).output().unwrap()
}

fn text(bytes: &[u8]) -> String {
    String::from_utf8_lossy(bytes).into_owned()
}

fn checkpoint_step(dir: &Path) -> String {
    let ckpt = fs::read_to_string(dir.join("model.ckpt")).unwrap();
    assert!(ckpt.starts_with("velmora-example-trainer checkpoint 1\n"), "{}", ckpt);
    ckpt.lines().nth(1).unwrap().to_string()
}

#[test]
fn exit_statuses() {
    let dir = scratch("status");
    let yaml = configs().join("train.yaml");
    let yaml = yaml.to_str().unwrap();
    let out = dir.join("out");
    let out = out.to_str().unwrap();
    let junk = dir.join("junk.ckpt");
    fs::write(&junk, "not a checkpoint\n").unwrap();
    let junk = junk.to_str().unwrap();
    let cases: &[(&[&str], i32, &str)] = &[
        (&[], 2, "usage: train_generic --config"),
        (&["--config", yaml, "--output-dir", out, "--steps", "1", "--seed", "1", "--resume"], 2, "unexpected argument"),
        (&["--config", yaml, "--output-dir", out, "--steps", "many", "--seed", "1"], 2, "--steps expects"),
        (&["--config", "", "--output-dir", out, "--steps", "1", "--seed", "1"], 1, "cannot read config"),
        (
            &[
                "--config",
                yaml,
                "--output-dir",
                out,
                "--steps",
                "18446744073709551615",
                "--seed",
                "4294967295",
                "--base-ckpt",
                junk,
            ],
            1,
            "is corrupt",
        ),
    ];
    for (argv, status, want) in cases {
        let o = train(argv);
        let stderr = text(&o.stderr);
        assert_eq!(o.status.code(), Some(*status), "{:?}: {}", argv, stderr);
        assert!(stderr.contains(want), "{:?}: stderr {:?} lacks {:?}", argv, stderr, want);
    }
    assert!(!dir.join("out").exists(), "a failed run created the output directory");
    fs::remove_dir_all(&dir).unwrap();
}

#[test]
fn trains_and_resumes_with_both_shipped_configs() {
    let dir = scratch("resume");
    for name in ["train.yaml", "train.json"] {
        let config = configs().join(name);
        let out = dir.join(format!("run {}", name));
        let argv = [
            "--config",
            config.to_str().unwrap(),
            "--output-dir",
            out.to_str().unwrap(),
            "--steps",
            "40",
            "--seed",
            "7",
        ];
        let first = train(&argv);
        assert!(first.status.success(), "{}: {}", name, text(&first.stderr));
        assert!(text(&first.stdout).contains("checkpoint: "), "{}", text(&first.stdout));
        assert_eq!(checkpoint_step(&out), "step 40");

        let base = out.join("model.ckpt");
        let mut resume = argv.to_vec();
        resume.extend(["--base-ckpt", base.to_str().unwrap()]);
        let second = train(&resume);
        assert!(second.status.success(), "{}: {}", name, text(&second.stderr));
        assert!(text(&second.stdout).contains("resuming from"), "{}", text(&second.stdout));
        assert_eq!(checkpoint_step(&out), "step 80");
    }
    fs::remove_dir_all(&dir).unwrap();
}
