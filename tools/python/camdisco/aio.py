# SPDX-License-Identifier: MIT
"""The asyncio face of camdisco: the same searches and modifications as the blocking
functions, run by the event loop (for integrations that live in one, Home Assistant
style). The steps and the codec are those of camdisco.net; only the waiting differs.

    devs = await async_search(timeout=2.0, expect=1)
    res = await async_modify(devs[0], "admin", "1234", ip="192.168.1.77", wait=True)

A socket given to these functions is switched to non-blocking for the call and
restored afterwards. Linux event loops with add_reader (the default one, uvloop).
"""

import asyncio
import socket
import time
from typing import List, Optional, Sequence, TypeVar, cast

from .net import (BROADCAST, Device, Exchange, Flow, IfaceSpec, ModifyResult, client_socket,
                  device_request, expectation, modify_flow, pick_interfaces, recv_datagram,
                  search_flow, set_mac_request, wait_steps)
from .siteplan import ApplyResult, PlanRow, Progress, Sent, apply_flow
from .wire import MSG_SEARCH, PORT, Mode

T = TypeVar("T")

# Datagrams read in one go before the loop gets control back.
_BATCH = 1024


async def run_exchange_async(sock: socket.socket, ex: Exchange) -> bool:
    """Drives one exchange under the running loop; True when `take` ended it."""
    loop = asyncio.get_running_loop()
    ready = asyncio.Event()
    fd = sock.fileno()
    was_blocking = sock.getblocking()
    sock.setblocking(False)
    loop.add_reader(fd, ready.set)
    try:
        while True:
            wait = ex.due(time.monotonic())
            if wait is None:
                return False
            if not ready.is_set():
                try:
                    await asyncio.wait_for(ready.wait(), wait)
                except asyncio.TimeoutError:
                    continue
            ready.clear()
            for _ in range(_BATCH):
                try:
                    got = recv_datagram(sock)
                except (BlockingIOError, InterruptedError):
                    break
                if ex.datagram(*got):
                    return True
    finally:
        loop.remove_reader(fd)
        sock.setblocking(was_blocking)


async def run_flow_async(flow: "Flow[T]", sock: socket.socket) -> T:
    """Drives a flow to its end under the running loop; returns what it returns."""
    try:
        ex = next(flow)
        while True:
            ex = flow.send(await run_exchange_async(sock, ex))
    except StopIteration as stop:
        return cast(T, stop.value)


async def _on_socket(make: "Flow[T]", s: socket.socket, own: bool) -> T:
    try:
        return await run_flow_async(make, s)
    finally:
        if own:
            s.close()


async def async_search(timeout: float = 2.0, retries: int = 2, ifaces: IfaceSpec = None,
                       sock: Optional[socket.socket] = None, port: int = PORT,
                       dest: str = BROADCAST, msg_type: int = MSG_SEARCH,
                       seq: Optional[int] = None, expect: Optional[int] = None,
                       mac: Optional[str] = None) -> List[Device]:
    """camdisco.search() under asyncio: same arguments, same result."""
    s = client_socket() if sock is None else sock
    try:
        flow = search_flow(s, pick_interfaces(s, ifaces), timeout, retries, port, dest,
                           msg_type, seq, expectation(expect, mac))
    except BaseException:
        if sock is None:
            s.close()
        raise
    return await _on_socket(flow, s, sock is None)


async def async_modify(device: Device, user: str, password: str, ip: Optional[str] = None,
                       netmask: Optional[str] = None, gateway: Optional[str] = None,
                       dns1: Optional[str] = None, dns2: Optional[str] = None,
                       media_port: Optional[int] = None, web_port: Optional[int] = None,
                       mode: Optional[Mode] = None, extended: bool = True,
                       timeout: float = 5.0, retries: int = 2, wait: bool = False,
                       wait_timeout: float = 10.0, sock: Optional[socket.socket] = None,
                       port: int = PORT, dest: str = BROADCAST,
                       ifaces: IfaceSpec = None) -> ModifyResult:
    """camdisco.modify() under asyncio: same arguments, result and errors."""
    req = device_request(device, user, password, ip, netmask, gateway, dns1, dns2, media_port,
                         web_port, mode, extended)
    s = client_socket() if sock is None else sock
    return await _on_socket(modify_flow(s, device, req, timeout, retries, port, dest, False,
                                        wait, wait_timeout, ifaces), s, sock is None)


async def async_set_mac(device: Device, new_mac: str, user: str, password: str,
                        timeout: float = 5.0, retries: int = 2, wait: bool = False,
                        wait_timeout: float = 10.0, sock: Optional[socket.socket] = None,
                        port: int = PORT, ifaces: IfaceSpec = None) -> ModifyResult:
    """camdisco.set_mac() under asyncio."""
    req = set_mac_request(device, new_mac, user, password)
    s = client_socket() if sock is None else sock
    return await _on_socket(modify_flow(s, device, req, timeout, retries, port, device.ip, True,
                                        wait, wait_timeout, ifaces), s, sock is None)


async def async_wait_for_move(mac: str, address: Optional[str], timeout: float = 10.0, *,
                              netmask: Optional[str] = None, mode: Optional[Mode] = None,
                              ifaces: IfaceSpec = None, sock: Optional[socket.socket] = None,
                              port: int = PORT, dest: str = BROADCAST) -> Device:
    """camdisco.wait_for_move() under asyncio."""
    s = client_socket() if sock is None else sock
    return await _on_socket(wait_steps(s, mac, address, timeout, netmask, mode, ifaces, port,
                                       dest), s, sock is None)


async def async_apply(plan: Sequence[PlanRow], user: str, password: str, *,
                      dry_run: bool = False, wait: bool = True, timeout: float = 2.0,
                      reply_timeout: float = 5.0, retries: int = 2, wait_timeout: float = 10.0,
                      ifaces: IfaceSpec = None, sock: Optional[socket.socket] = None,
                      port: int = PORT, dest: str = BROADCAST,
                      devices: Optional[Sequence[Device]] = None,
                      progress: Optional[Progress] = None,
                      sent: Optional[Sent] = None) -> List[ApplyResult]:
    """camdisco.apply() under asyncio."""
    s = client_socket() if sock is None else sock
    return await _on_socket(apply_flow(s, plan, user, password, dry_run, wait, timeout,
                                       reply_timeout, retries, wait_timeout, ifaces, port, dest,
                                       devices, progress, sent), s, sock is None)
