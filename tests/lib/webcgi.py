# SPDX-License-Identifier: MIT
"""The snapshot CGI behind the web servers cameras ship, in one host of the sandbox.

    web = WebCgi(cam, "10.1.0.1")          # <cam.dir>/www, with cgi-bin/stillcgi
    web.serve("busybox", 8081)             # busybox httpd on 10.1.0.1:8081
    web.serve("lighttpd", 8082)            # lighttpd with mod_cgi
    web.serve("mini_httpd", 8083)
    web.wait()                             # each one listens, or RuntimeError
    web.url(8081, "user=admin&psw=1234")   # http://10.1.0.1:8081/cgi-bin/stillcgi?...

Every server runs in the foreground inside the host, started by the sandbox
(never as a system service), with a configuration written here; all serve the
same document root, www/, whose cgi-bin/ holds the CGIs. The CGI keeps its
guard state in /var/run, so its host must have one of its own (private_run).
"""

import os
import shutil

from camprocs import tcp_port_listening
from camsandbox import wait_for

SERVERS = ("busybox", "lighttpd", "mini_httpd")

LIGHTTPD_CONF = """server.document-root = "{www}"
{bind}server.port = {port}
server.modules += ( "mod_cgi" )
server.errorlog = "{dir}/{name}.log"
server.upload-dirs = ( "{dir}" )
$HTTP["url"] =~ "^/cgi-bin/" {{ cgi.assign = ( "" => "" ) }}
"""


class WebCgi:
    """The CGI's document root in host, and the web servers started over it."""

    def __init__(self, host, addr=None):
        """addr: the address the servers listen on (None: every address)."""
        if host.run_dir is None:
            raise RuntimeError("host %s: the CGI needs a /var/run of its own "
                               "(sb.host(..., private_run=True))" % host.name)
        self.host = host
        self.addr = addr
        self.www = os.path.join(host.dir, "www")
        self.cgi_bin = os.path.join(self.www, "cgi-bin")
        os.makedirs(self.cgi_bin, exist_ok=True)
        self.servers = []   # (process, port)
        self.install(host.sandbox.binary("stillcgi"))

    def install(self, program, name=None):
        """Copies a program into cgi-bin (mode 0755); returns its path there."""
        path = os.path.join(self.cgi_bin, name or os.path.basename(program))
        shutil.copy(program, path)
        os.chmod(path, 0o755)
        return path

    def _argv(self, kind, port, name):
        where = "%s:%d" % (self.addr, port) if self.addr else str(port)
        if kind == "busybox":
            return ["busybox", "httpd", "-f", "-p", where, "-h", self.www]
        if kind == "lighttpd":
            conf = os.path.join(self.host.dir, name + ".conf")
            bind = 'server.bind = "%s"\n' % self.addr if self.addr else ""
            with open(conf, "w") as f:
                f.write(LIGHTTPD_CONF.format(www=self.www, bind=bind, port=port,
                                             dir=self.host.dir, name=name))
            return ["lighttpd", "-D", "-f", conf]
        if kind == "mini_httpd":
            return (["mini_httpd", "-D"] + (["-h", self.addr] if self.addr else []) +
                    ["-p", str(port), "-d", self.www, "-c", "cgi-bin/*", "-u", "root",
                     "-l", os.path.join(self.host.dir, name + ".log")])
        raise ValueError("no web server %r (one of %s)" % (kind, ", ".join(SERVERS)))

    def serve(self, kind="busybox", port=80, name=None, wrap=None, find_program=True):
        """Starts a web server of kind on port; its output goes to <name>.out/.err
        of the host (name: kind unless given). wrap(argv), when given, returns the
        command line that runs it (a time namespace, say). Returns the process;
        wait() waits until it listens."""
        name = name or kind
        argv = self._argv(kind, port, name)
        proc = self.host.start(wrap(argv) if wrap else argv, name=name,
                               find_program=find_program)
        self.servers.append((proc, port))
        return proc

    def listening(self, proc, port):
        """True when the server of proc listens on port."""
        pid = self.host.program_pid(proc)
        return bool(pid) and tcp_port_listening(pid, port)

    def ready(self):
        return all(self.listening(proc, port) for proc, port in self.servers)

    def wait(self, timeout=30.0):
        """Waits until every server started listens; raises, with the error
        output of the first that does not, when one does not within timeout."""
        if not wait_for(self.ready, timeout):
            proc = next(p for p, port in self.servers if not self.listening(p, port))
            raise RuntimeError("%s on %s did not start: %s" % (
                proc.cam_name, self.host.name, self.host.errors(proc.cam_name)[-2000:]))

    def url(self, port, query, addr=None):
        return "http://%s:%d/cgi-bin/stillcgi?%s" % (addr or self.addr, port, query)
