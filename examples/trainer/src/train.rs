//! One training run: settings from the config, optional resume, the
//! gradient-descent loop with progress lines, and the final checkpoint.

use std::fs;
use std::io::Write;
use std::path::PathBuf;
use std::time::Instant;

use crate::args::Args;
use crate::checkpoint::{self, Checkpoint};
use crate::config::{self, Settings};
use crate::metrics::Metrics;
use crate::model::{Dataset, Evaluation, Model};

/// Where the run left its checkpoint (read by the tests).
#[allow(dead_code)]
pub struct Outcome {
    pub checkpoint: PathBuf,
    pub step: u64,
}

/// Runs `steps` gradient steps after global step `start_step`, calling `log`
/// with the global step and the whole-dataset evaluation before the first
/// step, every `log_interval` steps and after the last one.
pub fn train(
    model: &mut Model,
    data: &Dataset,
    settings: &Settings,
    seed: u64,
    start_step: u64,
    steps: u64,
    mut log: impl FnMut(u64, Evaluation),
) -> Result<Evaluation, String> {
    let interval = settings.log_interval.unwrap_or_else(|| (steps / 10).max(1));
    let mut evaluation = model.evaluate(data);
    log(start_step, evaluation);
    for done in 1..=steps {
        let step = start_step + done;
        let batch_loss = model.train_step(data, seed, step, settings.batch_size, settings.learning_rate);
        if !batch_loss.is_finite() || !model.is_finite() {
            return Err(format!(
                "training diverged at step {} (loss is not finite); try a smaller learning_rate",
                step
            ));
        }
        if done % interval == 0 || done == steps {
            evaluation = model.evaluate(data);
            log(step, evaluation);
        }
    }
    Ok(evaluation)
}

/// The whole program after argument parsing; progress goes to `out`.
pub fn run(args: &Args, out: &mut dyn Write) -> Result<Outcome, String> {
    let settings = config::load(&args.config)?;
    if args.output_dir.as_os_str().is_empty() {
        return Err("--output-dir is empty".to_string());
    }
    let base = match &args.base_ckpt {
        Some(path) if path.as_os_str().is_empty() => return Err("--base-ckpt is empty".to_string()),
        Some(path) => Some((path, checkpoint::load(path)?)),
        None => None,
    };
    let start_step = base.as_ref().map_or(0, |(_, b)| b.step);
    if let Some((path, b)) = &base {
        if b.model.hidden() != settings.hidden_size {
            return Err(format!(
                "checkpoint {:?} has hidden_size {} but the config asks for {}",
                path,
                b.model.hidden(),
                settings.hidden_size
            ));
        }
    }
    let end_step = start_step.checked_add(args.steps).ok_or_else(|| {
        format!("step counter would overflow: checkpoint at step {} plus {} steps", start_step, args.steps)
    })?;
    fs::create_dir_all(&args.output_dir)
        .map_err(|e| format!("cannot create output directory {:?}: {}", args.output_dir, e))?;

    let data = Dataset::generate(settings.dataset_size, args.seed);
    let _ = writeln!(
        out,
        "train_generic: config {:?}, seed {}, {} steps; 2-{}-1 tanh network, {} points, batch {}, learning rate {}",
        args.config,
        args.seed,
        args.steps,
        settings.hidden_size,
        settings.dataset_size,
        settings.batch_size,
        settings.learning_rate
    );
    let mut model = match base {
        Some((path, b)) => {
            let _ = writeln!(out, "resuming from {:?}: step {}, loss {:.6}", path, b.step, b.loss);
            if b.seed != args.seed {
                let _ = writeln!(
                    out,
                    "note: the checkpoint was trained with seed {}; this run's data and batches come from seed {}",
                    b.seed, args.seed
                );
            }
            b.model
        }
        None => Model::init(settings.hidden_size, args.seed),
    };

    let mut metrics = Metrics::create(&args.output_dir)?;
    let started = Instant::now();
    let mut first = None;
    let evaluation = train(&mut model, &data, &settings, args.seed, start_step, args.steps, |step, e| {
        first.get_or_insert(e);
        let _ = writeln!(out, "step {:>8}  loss {:.6}  accuracy {:.3}", step, e.loss, e.accuracy);
        metrics.step(step, e);
    })?;
    let seconds = started.elapsed().as_secs_f64();
    let first = first.unwrap_or(evaluation);

    let ckpt = Checkpoint { step: end_step, seed: args.seed, loss: evaluation.loss, model };
    let path = checkpoint::save(&args.output_dir, &ckpt)?;
    metrics.finish(end_step, evaluation)?;
    let _ = writeln!(
        out,
        "done: {} steps (step {} -> {}) in {:.3}s; loss {:.6} -> {:.6}, accuracy {:.3}\ncheckpoint: {}",
        args.steps,
        start_step,
        end_step,
        seconds,
        first.loss,
        evaluation.loss,
        evaluation.accuracy,
        path.display()
    );
    Ok(Outcome { checkpoint: path, step: end_step })
}

#[cfg(test)]
mod tests {
    use super::*;
    use std::path::Path;

    struct Scratch(PathBuf);

    impl Scratch {
        fn new(name: &str) -> Scratch {
            let dir = std::env::temp_dir().join(format!("velmora-trainer-{}-{}", name, std::process::id()));
            let _ = fs::remove_dir_all(&dir);
            fs::create_dir_all(&dir).unwrap();
            Scratch(dir)
        }
        fn config(&self, name: &str, text: &str) -> PathBuf {
            let path = self.0.join(name);
            fs::write(&path, text).unwrap();
            path
        }
    }

    impl Drop for Scratch {
        fn drop(&mut self) {
            let _ = fs::remove_dir_all(&self.0);
        }
    }

    const CONFIG: &str =
        "optimizer:\n  learning_rate: 0.8\ndata:\n  dataset_size: 200\n  batch_size: 16\nmodel:\n  hidden_size: 6\n";

    fn args(config: &Path, out: PathBuf, steps: u64, seed: u64, base: Option<PathBuf>) -> Args {
        Args { config: config.to_path_buf(), output_dir: out, steps, seed, base_ckpt: base }
    }

    fn run_quiet(a: &Args) -> Result<(Outcome, String), String> {
        let mut out = Vec::new();
        let outcome = run(a, &mut out)?;
        Ok((outcome, String::from_utf8(out).unwrap()))
    }

    #[test]
    fn training_lowers_the_loss() {
        let settings = Settings { hidden_size: 8, ..Settings::default() };
        let data = Dataset::generate(settings.dataset_size, 5);
        let mut model = Model::init(settings.hidden_size, 5);
        let mut logged = Vec::new();
        let end = train(&mut model, &data, &settings, 5, 0, 400, |s, e| logged.push((s, e))).unwrap();
        let steps: Vec<u64> = logged.iter().map(|l| l.0).collect();
        assert_eq!(steps, (0..=400).step_by(40).collect::<Vec<_>>());
        assert!(end.loss < 0.75 * logged[0].1.loss, "loss {} -> {}", logged[0].1.loss, end.loss);
        assert!(end.accuracy > 0.8, "accuracy {}", end.accuracy);
    }

    #[test]
    fn runs_are_deterministic_per_seed() {
        let dir = Scratch::new("determinism");
        let config = dir.config("train.yaml", CONFIG);
        let written = |name: &str, seed| {
            let out = dir.0.join(name);
            run_quiet(&args(&config, out.clone(), 25, seed, None)).unwrap();
            fs::read(out.join(checkpoint::FILE_NAME)).unwrap()
        };
        assert_eq!(written("a", 3), written("b", 3));
        assert_ne!(written("a", 3), written("c", 4));
    }

    /// Stopping and resuming gives exactly the uninterrupted run, and the
    /// resumed run starts from the loss the first one ended with.
    #[test]
    fn resume_continues_the_run() {
        let dir = Scratch::new("resume");
        let config = dir.config("train.yaml", CONFIG);
        let (whole, _) = run_quiet(&args(&config, dir.0.join("whole"), 40, 11, None)).unwrap();
        let (half, first_log) = run_quiet(&args(&config, dir.0.join("half"), 15, 11, None)).unwrap();
        let (resumed, second_log) =
            run_quiet(&args(&config, dir.0.join("resumed"), 25, 11, Some(half.checkpoint.clone()))).unwrap();
        assert_eq!((half.step, resumed.step), (15, 40));
        assert_eq!(fs::read(&whole.checkpoint).unwrap(), fs::read(&resumed.checkpoint).unwrap());

        let last_of_first = first_log.lines().rev().find(|l| l.starts_with("step ")).unwrap();
        let first_of_second = second_log.lines().find(|l| l.starts_with("step ")).unwrap();
        assert_eq!(last_of_first, first_of_second);
        assert!(second_log.contains("resuming from"), "{}", second_log);

        // Resuming in place replaces the checkpoint it started from.
        let (again, _) = run_quiet(&args(&config, dir.0.join("half"), 0, 11, Some(half.checkpoint.clone()))).unwrap();
        assert_eq!(again.step, 15);
        assert_eq!(checkpoint::load(&again.checkpoint).unwrap().step, 15);
    }

    /// The fields of each `metrics.jsonl` line, as (name, value text) pairs.
    fn metrics_lines(dir: &Path) -> Vec<Vec<(String, String)>> {
        let text = fs::read_to_string(dir.join(crate::metrics::FILE_NAME)).unwrap();
        text.lines()
            .map(|line| {
                let body = line.strip_prefix('{').and_then(|l| l.strip_suffix('}')).expect(line);
                body.split(", ")
                    .map(|field| {
                        let (k, v) = field.split_once(": ").expect(line);
                        (k.trim_matches('"').to_string(), v.to_string())
                    })
                    .collect()
            })
            .collect()
    }

    /// Every progress line has its metrics line with the full values, and the
    /// final line, written only by a run that completed, repeats the last one.
    #[test]
    fn metrics_follow_the_progress_lines() {
        let dir = Scratch::new("metrics");
        let config = dir.config("train.yaml", CONFIG);
        let out = dir.0.join("run");
        let (_, log) = run_quiet(&args(&config, out.clone(), 25, 3, None)).unwrap();
        let progress: Vec<Vec<&str>> =
            log.lines().filter(|l| l.starts_with("step ")).map(|l| l.split_whitespace().collect()).collect();
        let lines = metrics_lines(&out);
        assert_eq!(lines.len(), progress.len() + 1, "{:?}", lines);
        for (fields, shown) in lines.iter().zip(&progress) {
            let names: Vec<&str> = fields.iter().map(|f| f.0.as_str()).collect();
            assert_eq!(names, ["step", "loss", "accuracy"]);
            let value = |i: usize| fields[i].1.parse::<f64>().unwrap();
            assert_eq!(fields[0].1, shown[1]);
            assert_eq!(format!("{:.6}", value(1)), shown[3]);
            assert_eq!(format!("{:.3}", value(2)), shown[5]);
        }
        let last = &lines[lines.len() - 1];
        assert_eq!(last[0], ("final".to_string(), "true".to_string()));
        assert_eq!(&last[1..], &lines[lines.len() - 2][..]);
        assert_eq!(last[1].1, "25");

        // A resumed run rewrites the file from its own first step.
        run_quiet(&args(&config, out.clone(), 5, 3, Some(out.join(checkpoint::FILE_NAME)))).unwrap();
        let resumed = metrics_lines(&out);
        assert_eq!((resumed[0][0].1.as_str(), resumed[resumed.len() - 1][1].1.as_str()), ("25", "30"));

        // A run that diverges keeps what it logged (a non-finite loss is null)
        // and has no final line.
        let wild = dir.config("wild.yaml", "optimizer:\n  learning_rate: 1e308\n");
        let err = run_quiet(&args(&wild, out.clone(), 5, 3, None)).err().unwrap();
        assert!(err.contains("diverged"), "{}", err);
        let partial = metrics_lines(&out);
        assert!(partial.iter().all(|l| l[0].0 == "step"), "{:?}", partial);
        assert_eq!(partial[0][0].1, "0");
        assert!(partial.iter().any(|l| l[1].1 == "null"), "{:?}", partial);
    }

    #[test]
    fn failures_are_reported() {
        let dir = Scratch::new("failures");
        let config = dir.config("train.yaml", CONFIG);
        let file = dir.0.join("plain-file");
        fs::write(&file, "x").unwrap();
        let (good, _) = run_quiet(&args(&config, dir.0.join("good"), 1, 1, None)).unwrap();
        let mut near_end = checkpoint::load(&good.checkpoint).unwrap();
        near_end.step = u64::MAX - 2;
        checkpoint::save(&dir.0, &near_end).unwrap();
        let near_end_path = dir.0.join(checkpoint::FILE_NAME);
        let small = dir.config("small.yaml", "model:\n  hidden_size: 3\n");

        let cases = [
            (args(&dir.0.join("nope.yaml"), dir.0.join("o"), 1, 1, None), "cannot read config"),
            (args(&config, PathBuf::new(), 1, 1, None), "--output-dir is empty"),
            (args(&config, file.join("sub"), 1, 1, None), "cannot create output directory"),
            (args(&config, dir.0.join("o"), 1, 1, Some(PathBuf::new())), "--base-ckpt is empty"),
            (args(&config, dir.0.join("o"), 1, 1, Some(file.clone())), "is corrupt"),
            (args(&config, dir.0.join("o"), 1, 1, Some(dir.0.join("none.ckpt"))), "cannot read checkpoint"),
            (
                args(&small, dir.0.join("o"), 1, 1, Some(good.checkpoint.clone())),
                "has hidden_size 6 but the config asks for 3",
            ),
            (args(&config, dir.0.join("o"), 3, 1, Some(near_end_path.clone())), "step counter would overflow"),
        ];
        for (a, want) in cases.iter() {
            match run_quiet(a) {
                Err(e) => assert!(e.contains(want), "{:?}: error {:?} lacks {:?}", a, e, want),
                Ok(_) => panic!("{:?} succeeded", a),
            }
        }
        // Right up to the last step number is fine.
        let (last, _) = run_quiet(&args(&config, dir.0.join("o"), 2, 1, Some(near_end_path))).unwrap();
        assert_eq!(last.step, u64::MAX);
    }
}
