//! `train_generic`: the example training program that
//! `velmora_trainer.train_from_config` runs through `cargo run`.
//!
//! Exit status: 0 on success, 1 when the run fails (message on stderr),
//! 2 for a command line it does not accept (usage on stderr).

mod args;
mod checkpoint;
mod config;
mod document;
mod metrics;
mod model;
mod rng;
mod train;

use std::io::{self, Write};
use std::process;

fn main() {
    let args = match args::parse(std::env::args_os().skip(1)) {
        Ok(args) => args,
        Err(e) => {
            eprintln!("train_generic: {}\n{}", e, args::USAGE);
            process::exit(2);
        }
    };
    let stdout = io::stdout();
    let mut out = stdout.lock();
    let result = train::run(&args, &mut out);
    let _ = out.flush();
    if let Err(e) = result {
        eprintln!("train_generic: error: {}", e);
        process::exit(1);
    }
}
