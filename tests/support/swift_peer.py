#!/usr/bin/python3
"""An all-in-one object store for the cloud storage tests, run once per test run.

usage: swift_peer.py start DIR | stop DIR

start: writes the configuration of a one-device store into DIR (proxy with token auth at
/auth/v1.0 and the S3 protocol, account, container and object servers with workers = 0,
memcached), picks free loopback ports, starts everything in the background, starts the CDN
management stand-in (cdn_standin.py beside this script) and waits for every /healthcheck (at
most SWIFT_PEER_WAIT seconds, default 60). DIR/peer.env then holds the addresses:
  SWIFT_PROXY_PORT, CDN_PORT. "<bucket>.s3.test" addresses a bucket (virtual hosts). Users: test:tester/testing, test:tester2/testing2.
stop: stops every process started by start, by the ids recorded in DIR/pids.
"""
import getpass, os, pwd, signal, socket, subprocess, sys, time, urllib.error, urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))

def free_ports(n):
    socks = []
    for _ in range(n):
        s = socket.socket(); s.bind(("127.0.0.1", 0)); socks.append(s)
    ports = [s.getsockname()[1] for s in socks]
    for s in socks: s.close()
    return ports

SERVER_CONF = """[DEFAULT]
bind_ip = 127.0.0.1
bind_port = {port}
workers = 0
user = {user}
swift_dir = {etc}
devices = {srv}
mount_check = false
disable_fallocate = true
log_level = WARNING
log_name = {kind}-server

[pipeline:main]
pipeline = healthcheck {kind}-server

[app:{kind}-server]
use = egg:swift#{kind}

[filter:healthcheck]
use = egg:swift#healthcheck

[{kind}-replicator]
[{kind}-auditor]
"""

PROXY_CONF = """[DEFAULT]
bind_ip = 127.0.0.1
bind_port = {port}
workers = 0
user = {user}
swift_dir = {etc}
log_level = WARNING
log_name = proxy-server

[pipeline:main]
pipeline = catch_errors gatekeeper healthcheck proxy-logging cache listing_formats s3api tempauth copy proxy-logging proxy-server

[app:proxy-server]
use = egg:swift#proxy
account_autocreate = true
allow_account_management = true

[filter:s3api]
use = egg:swift#s3api
location = us-east-1
# virtual-host addressing: "<bucket>.s3.test" names a bucket (reached through a host override)
storage_domain = s3.test
s3_acl = true
check_bucket_owner = true
allowable_clock_skew = 900

[filter:tempauth]
use = egg:swift#tempauth
user_test_tester = testing .admin
user_test_tester2 = testing2 .admin
token_life = 86400

[filter:healthcheck]
use = egg:swift#healthcheck

[filter:cache]
use = egg:swift#memcache
memcache_servers = 127.0.0.1:{memcached}

[filter:catch_errors]
use = egg:swift#catch_errors

[filter:gatekeeper]
use = egg:swift#gatekeeper

[filter:proxy-logging]
use = egg:swift#proxy_logging

[filter:listing_formats]
use = egg:swift#listing_formats

[filter:copy]
use = egg:swift#copy
"""

SWIFT_CONF = """[swift-hash]
swift_hash_path_suffix = cloud-tests-suffix
swift_hash_path_prefix = cloud-tests-prefix

[storage-policy:0]
name = Policy-0
default = yes
"""

def answers(port):
    """True when anything answers HTTP on the port (the stand-in has no health check)."""
    try:
        urllib.request.urlopen(f"http://127.0.0.1:{port}/", timeout=2).close()
        return True
    except urllib.error.HTTPError:
        return True
    except Exception:
        return False

def healthy(port):
    try:
        with urllib.request.urlopen(f"http://127.0.0.1:{port}/healthcheck", timeout=2) as r:
            return r.read() == b"OK"
    except Exception:
        return False

def start(d):
    stop(d)
    etc, srv, run = (os.path.join(d, x) for x in ("etc", "srv", "run"))
    for x in (etc, os.path.join(srv, "d1"), run): os.makedirs(x, exist_ok=True)
    obj, cont, acct, proxy, memc, cdn = free_ports(6)
    user = getpass.getuser()
    with open(os.path.join(etc, "swift.conf"), "w") as f: f.write(SWIFT_CONF)
    for kind, port in (("object", obj), ("container", cont), ("account", acct)):
        with open(os.path.join(etc, f"{kind}-server.conf"), "w") as f:
            f.write(SERVER_CONF.format(port=port, user=user, etc=etc, srv=srv, kind=kind))
    with open(os.path.join(etc, "proxy-server.conf"), "w") as f:
        f.write(PROXY_CONF.format(port=proxy, user=user, etc=etc, memcached=memc))
    # One-device rings, built in this process (the ring tool would load the library per call).
    from swift.common.ring import RingBuilder
    for kind, port in (("object", obj), ("container", cont), ("account", acct)):
        builder = RingBuilder(6, 1, 1)
        builder.add_dev({"region": 1, "zone": 1, "ip": "127.0.0.1", "port": port, "device": "d1", "weight": 1})
        builder.rebalance()
        builder.get_ring().save(os.path.join(etc, f"{kind}.ring.gz"))
    pids = []
    def spawn(name, argv, env=None):
        log = open(os.path.join(run, name + ".log"), "w")
        p = subprocess.Popen(argv, stdout=log, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                             env=env, start_new_session=True)
        pids.append(p.pid)
        with open(os.path.join(d, "pids"), "a") as f: f.write(f"{p.pid}\n")
    mc = ["memcached", "-l", "127.0.0.1", "-p", str(memc), "-U", "0", "-m", "16"]
    if os.geteuid() == 0:
        try: pwd.getpwnam("memcache"); mc += ["-u", "memcache"]
        except KeyError: mc += ["-u", "nobody"]
    spawn("memcached", mc)
    for kind in ("account", "container", "object", "proxy"):
        spawn(kind, [f"swift-{kind}-server", os.path.join(etc, f"{kind}-server.conf")])
    env = dict(os.environ, SWIFT_PORT=str(proxy), CDN_PORT=str(cdn), CDN_LOG=os.path.join(run, "cdn-requests.jsonl"))
    spawn("cdn", ["/usr/bin/python3", os.path.join(HERE, "cdn_standin.py")], env)
    deadline = time.time() + float(os.environ.get("SWIFT_PEER_WAIT", "60"))
    while time.time() < deadline:
        if all(healthy(p) for p in (obj, cont, acct, proxy)) and answers(cdn):
            with open(os.path.join(d, "peer.env"), "w") as f:
                f.write(f"SWIFT_PROXY_PORT={proxy}\nCDN_PORT={cdn}\nCDN_LOG={env['CDN_LOG']}\n")
            return 0
        time.sleep(0.2)
    sys.stderr.write(f"the object store did not come up; logs in {run}\n")
    for name in os.listdir(run):
        if name.endswith(".log"):
            sys.stderr.write(f"--- {name}\n" + open(os.path.join(run, name)).read()[-2000:])
    stop(d)
    return 1

def stop(d):
    f = os.path.join(d, "pids")
    if not os.path.exists(f): return 0
    pids = [int(x) for x in open(f).read().split()]
    for pid in pids:
        try: os.kill(pid, signal.SIGTERM)
        except ProcessLookupError: pass
    deadline = time.time() + 10
    for pid in pids:
        while time.time() < deadline:
            try:
                done, _ = os.waitpid(pid, os.WNOHANG)
            except ChildProcessError:
                done = 0
                try: os.kill(pid, 0)
                except ProcessLookupError: break
            else:
                if done == pid: break
            time.sleep(0.05)
        else:
            try: os.kill(pid, signal.SIGKILL)
            except ProcessLookupError: pass
    os.remove(f)
    try: os.remove(os.path.join(d, "peer.env"))
    except FileNotFoundError: pass
    return 0

if __name__ == "__main__":
    if len(sys.argv) != 3 or sys.argv[1] not in ("start", "stop"):
        sys.exit(__doc__)
    os.makedirs(sys.argv[2], exist_ok=True)
    sys.exit(start(sys.argv[2]) if sys.argv[1] == "start" else stop(sys.argv[2]))
