//! The model and its data: a two-layer network (2 inputs, `hidden` tanh
//! units, one logistic output) that learns to tell points inside a disk from
//! points outside it, trained by minibatch gradient descent on the binary
//! cross-entropy.

use crate::rng::{SplitMix64, TAG_BATCH, TAG_DATASET, TAG_INIT};

pub const INPUTS: usize = 2;
/// Points with x² + y² below this are labelled 1 (about 39% of the square).
const DISK_RADIUS_SQUARED: f64 = 0.5;

/// Points drawn uniformly from [-1, 1]² with their disk labels.
pub struct Dataset {
    pub points: Vec<[f64; INPUTS]>,
    pub labels: Vec<f64>,
}

impl Dataset {
    pub fn generate(size: usize, seed: u64) -> Dataset {
        let mut rng = SplitMix64::stream(seed, TAG_DATASET, 0);
        let points: Vec<[f64; INPUTS]> = (0..size).map(|_| [rng.uniform(-1.0, 1.0), rng.uniform(-1.0, 1.0)]).collect();
        let labels =
            points.iter().map(|p| if p[0] * p[0] + p[1] * p[1] < DISK_RADIUS_SQUARED { 1.0 } else { 0.0 }).collect();
        Dataset { points, labels }
    }

    pub fn len(&self) -> usize {
        self.points.len()
    }
}

#[derive(Debug, Clone, PartialEq)]
pub struct Model {
    /// Hidden-layer weights, row `h` at `w1[h * INPUTS..(h + 1) * INPUTS]`.
    pub w1: Vec<f64>,
    pub b1: Vec<f64>,
    pub w2: Vec<f64>,
    pub b2: f64,
}

/// Mean loss and accuracy over a whole dataset.
#[derive(Debug, Clone, Copy, PartialEq)]
pub struct Evaluation {
    pub loss: f64,
    pub accuracy: f64,
}

impl Model {
    /// Glorot-uniform weights from the seed's init stream, zero biases.
    pub fn init(hidden: usize, seed: u64) -> Model {
        let mut rng = SplitMix64::stream(seed, TAG_INIT, 0);
        let a1 = (6.0 / (INPUTS + hidden) as f64).sqrt();
        let a2 = (6.0 / (hidden + 1) as f64).sqrt();
        let w1 = (0..hidden * INPUTS).map(|_| rng.uniform(-a1, a1)).collect();
        let w2 = (0..hidden).map(|_| rng.uniform(-a2, a2)).collect();
        Model { w1, b1: vec![0.0; hidden], w2, b2: 0.0 }
    }

    pub fn hidden(&self) -> usize {
        self.b1.len()
    }

    /// The output logit; `activations` receives the hidden layer.
    fn forward(&self, x: &[f64; INPUTS], activations: &mut [f64]) -> f64 {
        let mut z = self.b2;
        for (h, out) in activations[..self.hidden()].iter_mut().enumerate() {
            let row = &self.w1[h * INPUTS..(h + 1) * INPUTS];
            let a = (self.b1[h] + row[0] * x[0] + row[1] * x[1]).tanh();
            *out = a;
            z += self.w2[h] * a;
        }
        z
    }

    pub fn evaluate(&self, data: &Dataset) -> Evaluation {
        let mut act = vec![0.0; self.hidden()];
        let mut loss = 0.0;
        let mut correct = 0usize;
        for (x, &y) in data.points.iter().zip(&data.labels) {
            let z = self.forward(x, &mut act);
            loss += bce_with_logit(z, y);
            if (z > 0.0) == (y > 0.5) {
                correct += 1;
            }
        }
        let n = data.len().max(1) as f64;
        Evaluation { loss: loss / n, accuracy: correct as f64 / n }
    }

    /// One gradient-descent step on the batch drawn for global step `step`;
    /// returns the batch's mean loss before the update.
    pub fn train_step(&mut self, data: &Dataset, seed: u64, step: u64, batch_size: usize, learning_rate: f64) -> f64 {
        let hidden = self.hidden();
        let mut g_w1 = vec![0.0; hidden * INPUTS];
        let mut g_b1 = vec![0.0; hidden];
        let mut g_w2 = vec![0.0; hidden];
        let mut g_b2 = 0.0;
        let mut act = vec![0.0; hidden];
        let mut loss = 0.0;
        let mut rng = SplitMix64::stream(seed, TAG_BATCH, step);
        for _ in 0..batch_size {
            let i = rng.below(data.len());
            let (x, y) = (&data.points[i], data.labels[i]);
            let z = self.forward(x, &mut act);
            loss += bce_with_logit(z, y);
            let dz = sigmoid(z) - y;
            g_b2 += dz;
            for h in 0..hidden {
                g_w2[h] += dz * act[h];
                let da = dz * self.w2[h] * (1.0 - act[h] * act[h]);
                g_b1[h] += da;
                g_w1[h * INPUTS] += da * x[0];
                g_w1[h * INPUTS + 1] += da * x[1];
            }
        }
        let scale = learning_rate / batch_size as f64;
        for (w, g) in self.w1.iter_mut().zip(&g_w1) {
            *w -= scale * g;
        }
        for (b, g) in self.b1.iter_mut().zip(&g_b1) {
            *b -= scale * g;
        }
        for (w, g) in self.w2.iter_mut().zip(&g_w2) {
            *w -= scale * g;
        }
        self.b2 -= scale * g_b2;
        loss / batch_size as f64
    }

    pub fn is_finite(&self) -> bool {
        self.w1.iter().chain(&self.b1).chain(&self.w2).all(|v| v.is_finite()) && self.b2.is_finite()
    }
}

fn sigmoid(z: f64) -> f64 {
    if z >= 0.0 {
        1.0 / (1.0 + (-z).exp())
    } else {
        let e = z.exp();
        e / (1.0 + e)
    }
}

/// Binary cross-entropy of label `y` for logit `z`, stable for large |z|.
fn bce_with_logit(z: f64, y: f64) -> f64 {
    z.max(0.0) - z * y + (-z.abs()).exp().ln_1p()
}

#[cfg(test)]
mod tests {
    use super::*;

    #[test]
    fn loss_matches_direct_formula() {
        let cases: [(f64, f64); 5] = [(0.0, 1.0), (2.0, 1.0), (2.0, 0.0), (-3.5, 1.0), (-3.5, 0.0)];
        for &(z, y) in &cases {
            let p = 1.0 / (1.0 + (-z).exp());
            let direct = -(y * p.ln() + (1.0 - y) * (1.0 - p).ln());
            assert!((bce_with_logit(z, y) - direct).abs() < 1e-12, "z {} y {}", z, y);
        }
        assert!(bce_with_logit(1000.0, 0.0).is_finite() && bce_with_logit(-1000.0, 1.0).is_finite());
    }

    /// The analytic gradient agrees with finite differences of the batch loss.
    #[test]
    fn gradient_matches_finite_differences() {
        let data = Dataset::generate(16, 3);
        let model = Model::init(4, 3);
        let (seed, step, batch) = (3, 5, 8);
        let batch_loss = |m: &Model| m.clone().train_step(&data, seed, step, batch, 0.0);
        let mut stepped = model.clone();
        let lr = 1e-3;
        stepped.train_step(&data, seed, step, batch, lr);
        let eps = 1e-6;
        for i in 0..model.w1.len() {
            let (mut plus, mut minus) = (model.clone(), model.clone());
            plus.w1[i] += eps;
            minus.w1[i] -= eps;
            let numeric = (batch_loss(&plus) - batch_loss(&minus)) / (2.0 * eps);
            let analytic = (model.w1[i] - stepped.w1[i]) / lr;
            assert!((numeric - analytic).abs() < 1e-6, "w1[{}]: {} vs {}", i, numeric, analytic);
        }
        for h in 0..model.hidden() {
            let (mut plus, mut minus) = (model.clone(), model.clone());
            plus.w2[h] += eps;
            minus.w2[h] -= eps;
            let numeric = (batch_loss(&plus) - batch_loss(&minus)) / (2.0 * eps);
            let analytic = (model.w2[h] - stepped.w2[h]) / lr;
            assert!((numeric - analytic).abs() < 1e-6, "w2[{}]: {} vs {}", h, numeric, analytic);
        }
    }

    #[test]
    fn dataset_is_seeded_and_has_both_classes() {
        let a = Dataset::generate(200, 1);
        assert_eq!(a.points, Dataset::generate(200, 1).points);
        assert_ne!(a.points, Dataset::generate(200, 2).points);
        let positives = a.labels.iter().filter(|&&y| y == 1.0).count();
        assert!(positives > 40 && positives < 120, "{} positives of 200", positives);
    }
}
