//! `metrics.jsonl`: the run's progress as JSON lines, for tools that compare
//! or plot runs. One object per logged step, then one final object once the
//! checkpoint is written:
//!
//! ```text
//! {"step": 0, "loss": 0.7561390968461816, "accuracy": 0.53}
//! {"step": 20, "loss": 0.6706799949922967, "accuracy": 0.6075}
//! {"final": true, "step": 200, "loss": 0.3450024613652931, "accuracy": 0.9225}
//! ```
//!
//! Numbers are written in full (shortest round-trip form); a non-finite loss is
//! `null`. Each line is written whole as it is logged, so a run that stops early
//! leaves the lines it got to and no final line.

use std::fs::File;
use std::io::Write;
use std::path::{Path, PathBuf};

use crate::model::Evaluation;

pub const FILE_NAME: &str = "metrics.jsonl";

pub struct Metrics {
    file: File,
    path: PathBuf,
    /// The first write error; the run reports it once training is over.
    error: Option<String>,
}

impl Metrics {
    /// Creates (or empties) `metrics.jsonl` in `dir`.
    pub fn create(dir: &Path) -> Result<Metrics, String> {
        let path = dir.join(FILE_NAME);
        let file = File::create(&path).map_err(|e| format!("cannot write {:?}: {}", path, e))?;
        Ok(Metrics { file, path, error: None })
    }

    pub fn step(&mut self, step: u64, e: Evaluation) {
        self.write(format!("{{\"step\": {}, {}}}\n", step, values(e)));
    }

    /// Writes the final line and reports any write error of the run.
    pub fn finish(mut self, step: u64, e: Evaluation) -> Result<(), String> {
        self.write(format!("{{\"final\": true, \"step\": {}, {}}}\n", step, values(e)));
        match self.error {
            Some(e) => Err(e),
            None => Ok(()),
        }
    }

    fn write(&mut self, line: String) {
        if self.error.is_none() {
            if let Err(e) = self.file.write_all(line.as_bytes()) {
                self.error = Some(format!("cannot write {:?}: {}", self.path, e));
            }
        }
    }
}

fn values(e: Evaluation) -> String {
    format!("\"loss\": {}, \"accuracy\": {}", number(e.loss), number(e.accuracy))
}

fn number(x: f64) -> String {
    // Rust prints finite f64 values without an exponent, which is valid JSON.
    if x.is_finite() {
        format!("{}", x)
    } else {
        "null".to_string()
    }
}
