"""A one-node Slurm cluster on this machine, for the workflow test: munged,
slurmctld and slurmd started as this (root) process's children, with their
key, configuration, state and logs in a folder of their own, and stopped
again when the block ends.

    with SlurmCluster(folder) as cluster:   # raises Unavailable when it cannot
        subprocess.run(["sbatch", ...], env=cluster.env)
"""

import os
import pwd
import shutil
import socket
import subprocess
import time

DAEMONS = ("munged", "slurmctld", "slurmd", "sbatch", "scontrol", "sinfo")


class Unavailable(Exception):
    pass


def free_ports(count):
    sockets = [socket.socket() for _ in range(count)]
    for s in sockets:
        s.bind(("127.0.0.1", 0))
    ports = [s.getsockname()[1] for s in sockets]
    for s in sockets:
        s.close()
    return ports


def find(name):
    return shutil.which(name) or shutil.which(name, path="/usr/sbin:/sbin")


class SlurmCluster:
    def __init__(self, folder):
        missing = [name for name in DAEMONS if not find(name)]
        if missing:
            raise Unavailable(f"{', '.join(missing)} not installed (Debian: slurm-wlm, munge)")
        if os.geteuid() != 0:
            raise Unavailable("the daemons need root")
        self.folder = folder
        self.pids = []
        shutil.rmtree(folder, ignore_errors=True)
        for sub in ("munge", "state", "spool", "log"):
            os.makedirs(os.path.join(folder, sub))
        os.chmod(folder, 0o755)
        os.chmod(os.path.join(folder, "munge"), 0o700)
        self.conf = os.path.join(folder, "slurm.conf")
        user = pwd.getpwuid(os.geteuid()).pw_name
        self.env = {**os.environ, "SLURM_CONF": self.conf, "USER": user}

    def path(self, *parts):
        return os.path.join(self.folder, *parts)

    def __enter__(self):
        try:
            self.start()
        except Exception:
            self.stop()
            raise
        return self

    def __exit__(self, *exc):
        self.stop()

    def start(self):
        key = self.path("munge", "munge.key")
        with open(key, "wb") as f:
            f.write(os.urandom(1024))
        os.chmod(key, 0o400)
        socket_path = self.path("munge", "munge.socket")
        subprocess.run([find("munged"), "--force", f"--key-file={key}", f"--socket={socket_path}",
                        f"--pid-file={self.path('munge', 'munged.pid')}",
                        f"--log-file={self.path('log', 'munged.log')}",
                        f"--seed-file={self.path('munge', 'seed')}"], check=True)
        self.pids.append(self.path("munge", "munged.pid"))
        host = socket.gethostname().split(".")[0]
        ctld_port, d_port = free_ports(2)
        with open(self.conf, "w", encoding="utf-8") as f:
            f.write(f"""ClusterName=dticuttest
SlurmctldHost={host}(127.0.0.1)
SlurmUser=root
SlurmdUser=root
SlurmctldPort={ctld_port}
SlurmdPort={d_port}
AuthType=auth/munge
AuthInfo=socket={socket_path}
CredType=cred/munge
StateSaveLocation={self.path('state')}
SlurmdSpoolDir={self.path('spool')}
SlurmctldPidFile={self.path('slurmctld.pid')}
SlurmdPidFile={self.path('slurmd.pid')}
SlurmctldLogFile={self.path('log', 'slurmctld.log')}
SlurmdLogFile={self.path('log', 'slurmd.log')}
ProctrackType=proctrack/linuxproc
TaskPlugin=task/affinity
SelectType=select/cons_tres
SelectTypeParameters=CR_Core_Memory
MpiDefault=none
SwitchType=switch/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
JobCompType=jobcomp/none
ReturnToService=2
PlugStackConfig={self.path('plugstack.conf')}
NodeName={host} NodeAddr=127.0.0.1 CPUs={os.cpu_count() or 1} RealMemory=4000 State=UNKNOWN
PartitionName=test Nodes={host} Default=YES MaxTime=INFINITE State=UP
""")
        open(self.path("plugstack.conf"), "w").close()
        for daemon in ("slurmctld", "slurmd"):
            subprocess.run([find(daemon), "-f", self.conf], check=True, env=self.env)
            self.pids.append(self.path(f"{daemon}.pid"))
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline:
            state = subprocess.run(["sinfo", "-h", "-o", "%T"], capture_output=True, text=True,
                                   env=self.env).stdout.strip()
            if state == "idle":
                return
            time.sleep(0.5)
        raise Unavailable(f"the node did not come up (sinfo says {state!r}); see "
                          f"{self.path('log')}")

    def stop(self):
        for pid_file in reversed(self.pids):
            try:
                with open(pid_file) as f:
                    pid = int(f.read().split()[0])
                os.kill(pid, 15)
                for _ in range(100):
                    os.kill(pid, 0)
                    time.sleep(0.1)
            except (OSError, ValueError):
                pass
        self.pids = []
