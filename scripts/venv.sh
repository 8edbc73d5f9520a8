# Sourced by the other scripts: the project's virtual environment and its interpreter.
#   VELTRA_VENV  where the environment lives (default: .venv in the repository)
venv_dir="${VELTRA_VENV:-$(pwd)/.venv}"
python="$venv_dir/bin/python"
