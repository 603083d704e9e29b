"""Type information for the velmora_trainer extension module."""

from typing import Final, SupportsIndex, final

__all__ = ["train_from_config", "TrainerConfig", "__version__", "__doc__"]

__version__: Final[str]

def train_from_config(
    config_path: str,
    output_dir: str,
    steps: SupportsIndex,
    seed: SupportsIndex,
    base_ckpt: str | None = None,
) -> None:
    """Main Python entry point: train_from_config
    Loads a config file (JSON or YAML), initializes trainer, runs training loop."""

@final
class TrainerConfig:
    """Python-facing configuration struct for training."""

    def __new__(
        cls,
        config_path: str,
        output_dir: str,
        steps: SupportsIndex,
        seed: SupportsIndex,
        base_ckpt: str | None = None,
    ) -> TrainerConfig: ...
    @property
    def config_path(self) -> str: ...
    @config_path.setter
    def config_path(self, value: str, /) -> None: ...
    @property
    def output_dir(self) -> str: ...
    @output_dir.setter
    def output_dir(self, value: str, /) -> None: ...
    @property
    def steps(self) -> int: ...
    @steps.setter
    def steps(self, value: SupportsIndex, /) -> None: ...
    @property
    def seed(self) -> int: ...
    @seed.setter
    def seed(self, value: SupportsIndex, /) -> None: ...
    @property
    def base_ckpt(self) -> str | None: ...
    @base_ckpt.setter
    def base_ckpt(self, value: str | None, /) -> None: ...
