"""The dataset rule of the Snakefile: the files that make the output folder
a BIDS derivative dataset.

Run by Snakemake's script directive, which defines `snakemake` (params.facts:
dticut's version, the input's name and its path from the output folder,
the command line the runs share). Writes
- dataset_description.json: the dataset as a derivative, GeneratedBy
  dticut (name, version, the command line), and DatasetLinks mapping the
  input's name, which the sidecars' Sources use in their BIDS URIs, to the
  input folder;
- desc-dticut_dseg.tsv: the labels' index, name and abbreviation, for every
  *_desc-dticut_dseg image below it;
- .bidsignore: what is not BIDS (the pictures, the logs, the group page).
"""

import json

snakemake = globals()["snakemake"]
facts = snakemake.params.facts
description = {
    "Name": "dticut segmentations",
    "BIDSVersion": "1.9.0",
    "DatasetType": "derivative",
    "GeneratedBy": [{
        "Name": "dticut",
        "Version": facts["version"],
        "Description": "two-label graph-cut segmentation of a tensor fit; each run's exact "
                       "command line is in its sidecar",
        "CommandLine": facts["command"],
    }],
    "DatasetLinks": {facts["input_name"]: facts["input"]},
}
outputs = snakemake.output
with open(outputs.description, "w", encoding="utf-8") as f:
    f.write(json.dumps(description, indent=2) + "\n")
with open(outputs.labels, "w", encoding="utf-8") as f:
    f.write("index\tname\tabbreviation\n0\tbackground\tBG\n1\tsegmented\tSEG\n")
with open(outputs.bidsignore, "w", encoding="utf-8") as f:
    f.write("*_dseg.png\nlogs/\ngroup/\n")
