"""The group rule of the Snakefile: the cohort's summary and picture page.

Run by Snakemake's script directive, which defines `snakemake` (the job's
params and outputs) and puts this folder on sys.path.
"""

import group

snakemake = globals()["snakemake"]
group.write_group(**snakemake.params.facts)
