"""Page faults, context switches and CPU per MiB downloaded and per small GET.

    python bench/faults.py SITE_DIR [SITE_DIR ...]

Each SITE_DIR holds an installed module (cmake --install ... --prefix DIR).
A fresh process per site and run counts its own getrusage() around the
workload (all threads; the kernel's share included, which callgrind does not
see). Minor faults per MiB hardly depend on machine load; CPU does.
"""
import json
import os
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests"))
from servers import NginxServer
DRIVER = r"""
import sys, resource, tarnwick, json
kind, url, n, warm = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
c = tarnwick.ZoDeruziDuzera()
sid = c.create_session(skip_cert_verify=True)
for _ in range(20): c.request(sid, warm, "GET")
r0 = resource.getrusage(resource.RUSAGE_SELF)
if kind == "download":
    for _ in range(n):
        b = c.request(sid, url, "GET")["body"]; del b
else:
    for _ in range(n):
        assert c.request(sid, url, "GET")["status_code"] == 200
r1 = resource.getrusage(resource.RUSAGE_SELF)
print(json.dumps({"minflt": r1.ru_minflt - r0.ru_minflt, "nvcsw": r1.ru_nvcsw - r0.ru_nvcsw, "nivcsw": r1.ru_nivcsw - r0.ru_nivcsw,
  "cpu": (r1.ru_utime + r1.ru_stime) - (r0.ru_utime + r0.ru_stime)}))
"""
sites = sys.argv[1:]
py = os.path.join(ROOT, ".venv/bin/python")
with NginxServer(big_mib=64) as s:
    for kind, url, n, unit in (("download", s.url("/big.bin"), 4, 64*4), ("get", s.url("/1k.bin"), 2000, 2000),
                               ("get", s.url("/1k.bin", "h2"), 2000, 2000)):
        for rep in range(3):
            for site in sites:
                env = dict(os.environ, PYTHONPATH=site)
                out = subprocess.run([py, "-c", DRIVER, kind, url, str(n), s.url("/1k.bin")], env=env, capture_output=True, text=True)
                d = json.loads(out.stdout.strip().splitlines()[-1])
                print("%-8s %-40s %-16s faults/unit %8.1f  vcsw/unit %6.2f  ivcsw/unit %6.2f  cpu ms/unit %7.3f" % (
                    kind, url[-30:], site, d["minflt"]/unit, d["nvcsw"]/unit, d["nivcsw"]/unit, 1000*d["cpu"]/unit), flush=True)
