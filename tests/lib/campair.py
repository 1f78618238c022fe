# SPDX-License-Identifier: MIT
"""A camera host and an installer (client) host joined by one veth link: the
shape of most system tests, the demo, the captures and the benchmarks.

    cam, cli = link_pair(sb, "10.1.0.1", "10.1.0.2")     # the two hosts, eth0 each
    pair = CameraPair(sb, "10.88.0.10", "10.88.0.2", gateway="10.88.0.1",
                      default_route=True)
    pair.start()                                 # stand-in and devfinder serving
    pair.devsearch("search", "--json")           # from the installer host
    sock = udp_client(pair.installer, "10.88.0.2")

The camera host always has a /var/run of its own, so a CGI started there keeps
its state inside the sandbox.
"""

import socket

from cameras import Camera, run_devsearch


def link_pair(sb, cam_addr, cli_addr, prefix=24, names=("cam", "cli")):
    """Two new hosts of sb, joined by a veth link between their eth0: the camera
    at cam_addr, the client at cli_addr (one address or a list of them, all in
    prefix). Returns (camera host, client host)."""
    cam = sb.host(names[0], private_run=True)
    cli = sb.host(names[1])
    cli_addrs = [cli_addr] if isinstance(cli_addr, str) else list(cli_addr)
    sb.link(cam, "eth0", "%s/%d" % (cam_addr, prefix), cli, "eth0",
            ["%s/%d" % (a, prefix) for a in cli_addrs])
    return cam, cli


class CameraPair:
    """One simulated camera (cameras.Camera on eth0 of the camera host) and the
    installer host on the other end of its link."""

    def __init__(self, sb, cam_ip, installer_ip, prefix=24, gateway=None,
                 mac="02:C5:00:00:00:01", user="admin", password="1234", httpd=False,
                 follow=True, default_route=False, names=("camera", "installer")):
        """gateway: the stored gateway (default: .254 of the camera's /24);
        default_route: the camera host routes through it as well; httpd: busybox
        httpd serves the CGI on the web port the camera reports; follow=False:
        the camera keeps its address whatever its settings say (Camera)."""
        self.sb = sb
        self.installer_ip = installer_ip
        self.cam_host, self.installer = link_pair(sb, cam_ip, installer_ip, prefix, names)
        gateway = gateway or cam_ip.rsplit(".", 1)[0] + ".254"
        if default_route:
            self.cam_host.ip("route", "add", "default", "via", gateway)
        self.camera = Camera(sb, self.cam_host, "eth0", cam_ip, prefix, gateway, mac, user,
                             password, httpd=httpd, follow=follow)

    def start(self, timeout=10.0):
        """Starts the camera's programs and waits until they serve."""
        self.camera.start(timeout)
        return self

    def devsearch(self, *args, timeout=60, input=None):
        """Runs the built devsearch on the installer host (CompletedProcess, text)."""
        return run_devsearch(self.sb, self.installer, *args, timeout=timeout, input=input)


def udp_client(host, addr, device=None):
    """A UDP socket of host bound to addr (ephemeral port), allowed to broadcast;
    bound to an interface too when device names one."""
    s = host.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
    if device:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_BINDTODEVICE, device.encode())
    s.bind((addr, 0))
    return s


def recv(sock, timeout):
    """One datagram (data, source) or None within the timeout."""
    sock.settimeout(timeout)
    try:
        return sock.recvfrom(4096)
    except socket.timeout:
        return None
