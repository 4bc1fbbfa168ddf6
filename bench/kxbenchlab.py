"""The benchmarks' network lab: two namespaces joined by a veth pair (192.0.2.0/24, the host end
192.0.2.1) with kxeye-emulator serving in one of them. Removed on close, and by the next run of
the same benchmark when a run was killed before it could. Nothing leaves the lab."""
import os
import re
import signal
import subprocess
import time


def sh(args, check=True, **kw):
    r = subprocess.run(args, capture_output=True, text=True, **kw)
    if check and r.returncode != 0:
        raise RuntimeError("%s: %s" % (" ".join(args), (r.stderr or r.stdout).strip()))
    return r


class Lab:
    def __init__(self, prefix):
        self.ns = []
        self.emulator = None
        self.family = prefix  # namespaces <family><pid>-<name>
        self.sweep()
        self.prefix = "%s%d-" % (prefix, os.getpid())

    def sweep(self):
        out = sh(["ip", "netns", "list"], check=False).stdout
        for line in out.splitlines():
            name = line.split()[0] if line.split() else ""
            m = re.match(r"%s(\d+)-" % self.family, name)
            if m and int(m.group(1)) != os.getpid() and not os.path.exists("/proc/" + m.group(1)):
                sh(["ip", "netns", "del", name], check=False)

    def add(self, short):
        name = self.prefix + short
        sh(["ip", "netns", "add", name])
        self.ns.append(name)
        sh(["ip", "-n", name, "link", "set", "lo", "up"])
        sh(["ip", "netns", "exec", name, "sysctl", "-qw", "net.ipv4.conf.all.rp_filter=0",
            "net.ipv4.conf.default.rp_filter=0"])
        return name

    def link(self, host, cam):
        sh(["ip", "link", "add", "eth0", "netns", host, "type", "veth", "peer", "name", "eth0", "netns", cam])
        sh(["ip", "-n", host, "addr", "add", "192.0.2.1/24", "dev", "eth0"])
        sh(["ip", "-n", host, "link", "set", "eth0", "up"])
        sh(["ip", "-n", cam, "link", "set", "eth0", "up"])

    def start_emulator(self, cam, emulator, args, log):
        """kxeye-emulator on the cam namespace's eth0 with these further arguments; waits until it
        serves."""
        self.stop_emulator()
        self.emulator = subprocess.Popen(["ip", "netns", "exec", cam, emulator, "--interface", "eth0"] + args,
                                         stdout=open(log, "w"), stderr=subprocess.STDOUT, start_new_session=True)
        end = time.monotonic() + 10
        while "serving" not in open(log).read():
            if time.monotonic() > end or self.emulator.poll() is not None:
                raise RuntimeError("the emulator did not start: " + open(log).read()[-500:])
            time.sleep(0.05)

    def stop_emulator(self):
        p, self.emulator = self.emulator, None
        if p is None or p.poll() is not None:
            return
        os.killpg(p.pid, signal.SIGTERM)
        try:
            p.wait(5)
        except subprocess.TimeoutExpired:
            os.killpg(p.pid, signal.SIGKILL)
            p.wait()

    def close(self):
        self.stop_emulator()
        for name in reversed(self.ns):
            sh(["ip", "netns", "del", name], check=False)
        self.ns = []
