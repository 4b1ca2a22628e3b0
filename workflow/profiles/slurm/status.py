#!/usr/bin/env python3
"""Snakemake's cluster-status command for Slurm: prints running, success or
failed for the job id given, from sacct where the cluster keeps accounting,
else from scontrol (which knows a job until MinJobAge after it ends). A job
neither knows any more is taken as finished: Snakemake then checks its
outputs itself."""

import re
import subprocess
import sys

RUNNING = {"PENDING", "CONFIGURING", "RUNNING", "COMPLETING", "SUSPENDED", "REQUEUED",
           "RESIZING", "SIGNALING", "STAGE_OUT", "PREEMPTED", "REQUEUE_HOLD", "REQUEUE_FED"}


def state(job):
    sacct = subprocess.run(["sacct", "-X", "-n", "-P", "-o", "State", "-j", job],
                           capture_output=True, text=True)
    if sacct.returncode == 0 and sacct.stdout.strip():
        return sacct.stdout.split()[0]
    scontrol = subprocess.run(["scontrol", "show", "job", job], capture_output=True, text=True)
    found = re.search(r"JobState=(\S+)", scontrol.stdout)
    return found.group(1) if found else "COMPLETED"


current = state(sys.argv[1])
print("success" if current == "COMPLETED" else "running" if current in RUNNING else "failed")
