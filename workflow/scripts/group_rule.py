"""The group rule of the Snakefile: the cohort's summary and picture page."""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import group  # noqa: E402

snakemake = globals()["snakemake"]  # set by Snakemake's script directive
group.write_group(snakemake.params.out, snakemake.params.runs, snakemake.params.weights,
                  snakemake.params.version)
