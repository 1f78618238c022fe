// SPDX-License-Identifier: MIT
// The installers' page: the live table, one camera's picture and settings, and
// the site plan. Plain JavaScript, no build step; it talks only to the server
// that served it (every call carries the session token), and every text that
// came from the LAN goes into the page as text, never as markup.
'use strict';

(function () {
  const TOKEN = document.querySelector('meta[name="camdisco-token"]').content;
  // The keys of `devsearch search --json`, in its order: the table's columns.
  const KEYS = ['ip', 'netmask', 'gateway', 'dns1', 'dns2', 'mac', 'mode', 'media_port',
    'web_port', 'device_type', 'device_type_code', 'version', 'device_id', 'name',
    'hostname', 'channels', 'p2p_id', 'interface', 'url', 'snapshot_url'];
  const SHOWN = ['ip', 'netmask', 'gateway', 'mac', 'mode', 'web_port', 'device_type',
    'version', 'name'];
  const ADDRESSES = new Set(['ip', 'netmask', 'gateway', 'dns1', 'dns2']);
  const NUMBERS = new Set(['media_port', 'web_port', 'device_id', 'channels']);
  const POLL_MS = 1000;
  const PICTURES_AT_ONCE = 3;
  const SHORT = { wrong_password: 'wrong password', unsupported_resolution: 'resolution refused',
    no_picture: 'no picture', no_web_server: 'no web server', timeout: 'no answer',
    no_credentials: 'no password yet' };

  const $ = (id) => document.getElementById(id);
  const state = {
    cameras: [], byKey: new Map(), rows: new Map(), sort: { key: 'ip', dir: 1 }, filter: '',
    columns: new Set(SHOWN), selected: null, pictures: new Map(), queue: [], loading: 0, generation: 0,
    credentials: { user: '', password_set: false }, busy: false, plan: null, applying: false,
  };

  // ---------------------------------------------------------------- the server

  function call(path, body) {
    const init = { cache: 'no-store', headers: { 'X-Camdisco-Token': TOKEN } };
    if (body !== undefined) {
      init.method = 'POST';
      init.headers['Content-Type'] = 'application/json';
      init.body = JSON.stringify(body);
    }
    return fetch(path, init);
  }

  async function post(path, body) {
    const rsp = await call(path, body);
    const answer = await rsp.json();
    if (!rsp.ok) throw new Error(answer.message || 'HTTP ' + rsp.status);
    return answer;
  }

  // A change answers with one JSON event per line, each as it happens.
  async function events(path, body, onEvent) {
    const rsp = await call(path, body);
    if (!rsp.ok) {
      const answer = await rsp.json();
      throw new Error(answer.message || 'HTTP ' + rsp.status);
    }
    const reader = rsp.body.getReader();
    const decoder = new TextDecoder();
    let buffer = '';
    for (;;) {
      const { value, done } = await reader.read();
      if (value) buffer += decoder.decode(value, { stream: true });
      let end;
      while ((end = buffer.indexOf('\n')) >= 0) {
        const line = buffer.slice(0, end);
        buffer = buffer.slice(end + 1);
        if (line.trim()) onEvent(JSON.parse(line));
      }
      if (done) return;
    }
  }

  // ---------------------------------------------------------------- values

  function isQuad(t) {
    return /^(0|[1-9][0-9]{0,2})(\.(0|[1-9][0-9]{0,2})){3}$/.test(t) &&
      t.split('.').every((p) => Number(p) < 256);
  }
  const u32 = (t) => t.split('.').reduce((a, p) => a * 256 + Number(p), 0);
  function isUnicast(t) {
    const v = u32(t);
    return v !== 0 && Math.floor(v / 16777216) !== 127 && v < 0xE0000000;
  }
  function isNetmask(t) {
    const inv = (~u32(t)) >>> 0;
    return inv !== 0xFFFFFFFF && ((inv & (inv + 1)) >>> 0) === 0;
  }

  // The checks the server makes before it sends a change (and the camera after).
  function checkSettings(v) {
    const errors = {};
    for (const k of ['ip', 'netmask', 'gateway', 'dns1', 'dns2']) {
      if (!isQuad(v[k])) errors[k] = 'not an IPv4 address';
    }
    if (Object.keys(errors).length || v.mode === 'dhcp') return errors;
    const mask = u32(v.netmask);
    if (!isUnicast(v.ip)) errors.ip = 'not a unicast host address';
    if (!isNetmask(v.netmask)) {
      errors.netmask = 'not a contiguous netmask';
      return errors;
    }
    const hostBits = (~mask) >>> 0;
    const edge = (a) => mask < 0xFFFFFFFE && [0, hostBits].includes((a & hostBits) >>> 0);
    const ip = u32(v.ip);
    if (!errors.ip && edge(ip)) errors.ip = 'the network or broadcast address of its subnet';
    const gw = u32(v.gateway);
    if (gw !== 0 && (!isUnicast(v.gateway) || ((gw & mask) >>> 0) !== ((ip & mask) >>> 0) ||
        gw === ip || edge(gw))) {
      errors.gateway = 'not another host of the subnet (0.0.0.0 for none)';
    }
    for (const k of ['dns1', 'dns2']) {
      if (u32(v[k]) !== 0 && !isUnicast(v[k])) errors[k] = 'not a unicast address (0.0.0.0 for none)';
    }
    return errors;
  }

  function compare(key, a, b) {
    const x = a.device[key];
    const y = b.device[key];
    if (ADDRESSES.has(key)) {
      const qx = isQuad(x) ? u32(x) : Infinity;
      const qy = isQuad(y) ? u32(y) : Infinity;
      if (qx !== qy) return qx < qy ? -1 : 1;
    } else if (NUMBERS.has(key)) {
      if (x !== y) return x < y ? -1 : 1;
    } else {
      const c = String(x).localeCompare(String(y));
      if (c) return c;
    }
    return a.device.mac.localeCompare(b.device.mac);
  }

  function el(tag, text, cls) {
    const e = document.createElement(tag);
    if (text !== undefined) e.textContent = text;
    if (cls) e.className = cls;
    return e;
  }

  // ---------------------------------------------------------------- the table

  function buildHead() {
    const head = $('head');
    head.replaceChildren(el('th', 'picture', 'thumb'));
    for (const key of KEYS) {
      if (!state.columns.has(key)) continue;
      const th = el('th');
      th.scope = 'col';
      const b = el('button', key);
      b.type = 'button';
      b.addEventListener('click', () => {
        state.sort = { key, dir: state.sort.key === key ? -state.sort.dir : 1 };
        buildHead();
        render();
        head.querySelector('[data-key="' + key + '"] button').focus();
      });
      th.dataset.key = key;
      if (state.sort.key === key) th.setAttribute('aria-sort', state.sort.dir > 0 ? 'ascending' : 'descending');
      th.append(b);
      head.append(th);
    }
    for (const tr of state.rows.values()) tr.dataset.columns = '';
  }

  function buildColumnList() {
    const list = $('column-list');
    for (const key of KEYS) {
      const label = el('label');
      const box = el('input');
      box.type = 'checkbox';
      box.checked = state.columns.has(key);
      box.addEventListener('change', () => {
        if (box.checked) state.columns.add(key); else state.columns.delete(key);
        buildHead();
        render();
      });
      label.append(box, ' ' + key);
      list.append(label);
    }
  }

  function rowFor(cam) {
    const key = cam.device.mac || cam.device.ip;
    let tr = state.rows.get(key);
    if (!tr) {
      tr = el('tr');
      tr.tabIndex = 0;
      tr.dataset.key = key;
      tr.addEventListener('click', (e) => { if (!e.target.closest('a')) select(key); });
      tr.addEventListener('keydown', (e) => {
        if (e.key === 'Enter' || e.key === ' ') {
          e.preventDefault();
          select(key);
        } else if (e.key === 'ArrowDown' || e.key === 'ArrowUp') {
          e.preventDefault();
          const next = e.key === 'ArrowDown' ? tr.nextElementSibling : tr.previousElementSibling;
          if (next) next.focus();
        }
      });
      state.rows.set(key, tr);
    }
    return tr;
  }

  function pictureCell(cam, td) {
    const pic = state.pictures.get(cam.key);
    const parts = [];
    if (pic && pic.url) {
      const img = el('img');
      img.src = pic.url;
      img.alt = 'picture of ' + cam.device.ip;
      parts.push(img);
    } else if (pic && pic.error) {
      const s = el('span', SHORT[pic.error] || 'no picture', 'refusal');
      s.title = pic.message;
      parts.push(s);
    } else if (pic && pic.loading) {
      parts.push(el('span', '…', 'loading'));
    }
    if (cam.silent) parts.push(el('span', 'silent', 'badge silent-badge'));
    else if (cam.new) parts.push(el('span', 'new', 'badge'));
    td.replaceChildren(...parts);
  }

  function fillRow(cam, tr) {
    const cells = [el('td', undefined, 'thumb')];
    pictureCell(cam, cells[0]);
    for (const key of KEYS) {
      if (!state.columns.has(key)) continue;
      const value = String(cam.device[key]);
      const td = el('td');
      td.dataset.key = key;
      if ((key === 'url' || key === 'snapshot_url') && /^http:\/\//.test(value)) {
        const a = el('a', value);
        a.href = value;
        a.target = '_blank';
        a.rel = 'noopener noreferrer';
        td.append(a);
      } else {
        td.textContent = value;
      }
      cells.push(td);
    }
    tr.replaceChildren(...cells);
    tr.classList.toggle('silent', cam.silent);
    tr.classList.toggle('new', cam.new);
    tr.classList.toggle('selected', cam.key === state.selected);
    tr.setAttribute('aria-selected', cam.key === state.selected ? 'true' : 'false');
    tr.title = cam.silent ? 'no answer in the last ' + cam.missed + ' searches' : '';
  }

  function visible() {
    const words = state.filter.toLowerCase().split(/\s+/).filter(Boolean);
    const shown = state.cameras.filter((cam) => {
      const text = KEYS.map((k) => String(cam.device[k])).join(' ').toLowerCase();
      return words.every((w) => text.includes(w));
    });
    return shown.sort((a, b) => state.sort.dir * compare(state.sort.key, a, b));
  }

  function render() {
    const body = $('rows');
    const focused = document.activeElement;
    const shown = visible();
    const want = shown.map(rowFor);
    shown.forEach((cam, i) => fillRow(cam, want[i]));
    const same = want.length === body.children.length && want.every((tr, i) => body.children[i] === tr);
    if (!same) {
      body.replaceChildren(...want);
      if (focused && want.includes(focused)) focused.focus();
    }
    $('empty').hidden = state.cameras.length > 0;
    if (state.selected) showCamera();
  }

  // ---------------------------------------------------------------- polling

  async function poll() {
    try {
      const rsp = await call('/api/cameras');
      const table = await rsp.json();
      state.cameras = table.cameras.map((c) => Object.assign(c, { key: c.device.mac || c.device.ip }));
      state.byKey = new Map(state.cameras.map((c) => [c.key, c]));
      state.credentials = { user: table.user, password_set: table.password_set };
      state.busy = table.busy;
      const silent = state.cameras.filter((c) => c.silent).length;
      const status = $('status');
      status.dataset.round = table.round;
      status.dataset.cameras = state.cameras.length;
      status.textContent = (table.error ? table.error + ' · ' : '') + 'search round ' + table.round +
        ' · ' + state.cameras.length + ' camera' + (state.cameras.length === 1 ? '' : 's') +
        (silent ? ' (' + silent + ' silent)' : '') + (table.searching ? ' · searching…' : '');
      showLogin();
      queuePictures();
      render();
    } catch (err) {
      $('status').textContent = 'the server does not answer (' + err.message + ')';
    }
    setTimeout(poll, POLL_MS);
  }

  // ---------------------------------------------------------------- pictures

  // One picture per camera and address; a new one when it moved, when the
  // account changes or when asked for. A picture asked for under an earlier
  // account (generation) is dropped when it comes.
  function queuePictures(force) {
    if (!state.credentials.password_set) return;
    for (const cam of state.cameras) {
      const pic = state.pictures.get(cam.key);
      const where = cam.device.ip + ':' + cam.device.web_port;
      if (cam.silent || (pic && pic.where === where && force !== cam.key)) continue;
      if (state.queue.some((q) => q.key === cam.key)) continue;
      state.pictures.set(cam.key, Object.assign(pic || {}, { where, loading: true }));
      const resolution = force === cam.key ? $('cam-resolution').value : '';
      state.queue.push({ key: cam.key, mac: cam.device.mac, where, resolution, generation: state.generation });
    }
    while (state.loading < PICTURES_AT_ONCE && state.queue.length) loadPicture(state.queue.shift());
  }

  async function loadPicture(job) {
    state.loading += 1;
    const result = { where: job.where };
    try {
      const rsp = await call('/api/snapshot?mac=' + encodeURIComponent(job.mac) +
        (job.resolution ? '&resolution=' + job.resolution : ''));
      if ((rsp.headers.get('Content-Type') || '').startsWith('image/jpeg')) {
        result.url = URL.createObjectURL(await rsp.blob());
      } else {
        const why = await rsp.json();
        result.error = why.error;
        result.message = why.message;
      }
    } catch (err) {
      result.error = 'unreachable';
      result.message = 'the server does not answer (' + err.message + ')';
    }
    state.loading -= 1;
    const pic = state.pictures.get(job.key);
    if (job.generation !== state.generation) {
      if (result.url) URL.revokeObjectURL(result.url);
    } else {
      if (pic && pic.url) URL.revokeObjectURL(pic.url);
      state.pictures.set(job.key, result);
    }
    queuePictures();
    render();
  }

  function resetPictures() {
    for (const pic of state.pictures.values()) if (pic.url) URL.revokeObjectURL(pic.url);
    state.pictures.clear();
    state.queue = [];
    state.generation += 1;
    queuePictures();
    render();
  }

  // ---------------------------------------------------------------- account

  function showLogin() {
    const c = state.credentials;
    $('login-state').textContent = c.password_set ? 'using the account ' + c.user : 'type the cameras\' account';
    $('login-state').className = c.password_set ? 'ok' : 'err';
    if (document.activeElement !== $('user') && !$('user').value) $('user').value = c.user;
  }

  async function useAccount(e) {
    e.preventDefault();
    let answer;
    try {
      answer = await post('/api/credentials', { user: $('user').value, password: $('password').value });
    } catch (err) {
      answer = Object.assign({}, state.credentials, { ok: false, message: err.message });
    }
    $('password').value = '';     // kept by the server for this session only
    state.credentials = { user: answer.user, password_set: answer.password_set };
    showLogin();
    if (!answer.ok) {
      $('login-state').textContent = answer.message;
      $('login-state').className = 'err';
    }
    resetPictures();
  }

  // ---------------------------------------------------------------- confirmation

  function confirmChange(title, lines) {
    const dialog = $('confirm');
    $('confirm-title').textContent = title;
    $('confirm-body').replaceChildren(...lines.map((l) => el('li', l)));
    dialog.showModal();
    $('confirm-cancel').focus();
    return new Promise((resolve) => {
      const finish = (ok) => {
        $('confirm-ok').onclick = null;
        $('confirm-cancel').onclick = null;
        dialog.oncancel = null;
        dialog.close();
        resolve(ok);
      };
      $('confirm-ok').onclick = () => finish(true);
      $('confirm-cancel').onclick = () => finish(false);
      dialog.oncancel = (ev) => { ev.preventDefault(); finish(false); };
    });
  }

  // ---------------------------------------------------------------- one camera

  function select(key) {
    const changed = state.selected !== key;
    state.selected = key;
    showTab('camera');
    if (changed) {
      fillForm();
      $('change-log').replaceChildren();
      $('change-message').textContent = '';
    }
    render();
  }

  function fillForm() {
    const cam = state.byKey.get(state.selected);
    if (!cam) return;
    for (const k of ['ip', 'netmask', 'gateway', 'dns1', 'dns2']) {
      $('f-' + k).value = cam.device[k];
      $('e-' + k).textContent = '';
      $('f-' + k).removeAttribute('aria-invalid');
    }
    $('f-mode').value = cam.device.mode === 'dhcp' ? 'dhcp' : 'static';
  }

  function showCamera() {
    const cam = state.byKey.get(state.selected);
    $('pick').hidden = !!cam;
    $('camera').hidden = !cam;
    if (!cam) return;
    const d = cam.device;
    $('cam-title').textContent = d.mac + ' at ' + d.ip + (cam.silent ? ' (silent)' : '');
    const pic = state.pictures.get(cam.key);
    const box = $('cam-picture');
    if (pic && pic.url) {
      const old = box.querySelector('img');
      if (!old || old.src !== pic.url) {
        const img = el('img');
        img.src = pic.url;
        img.alt = 'picture of the camera at ' + d.ip;
        box.replaceChildren(img);
      }
    } else {
      box.replaceChildren(el('p', pic && pic.error ? pic.message : pic && pic.loading ?
        'fetching a picture…' : 'no picture yet: type the cameras\' account above',
      pic && pic.error ? 'refusal' : ''));
    }
    const link = $('cam-link');
    link.hidden = !/^http:\/\//.test(d.url);
    link.href = link.hidden ? '#' : d.url;
    const dl = $('cam-fields');
    dl.replaceChildren(...KEYS.flatMap((k) => [el('dt', k), el('dd', String(d[k]))]));
  }

  async function change(e) {
    e.preventDefault();
    const cam = state.byKey.get(state.selected);
    if (!cam) return;
    const values = {};
    for (const k of ['ip', 'netmask', 'gateway', 'dns1', 'dns2', 'mode']) values[k] = $('f-' + k).value.trim();
    const errors = checkSettings(values);
    for (const k of ['ip', 'netmask', 'gateway', 'dns1', 'dns2']) {
      $('e-' + k).textContent = errors[k] || '';
      if (errors[k]) $('f-' + k).setAttribute('aria-invalid', 'true'); else $('f-' + k).removeAttribute('aria-invalid');
    }
    const message = $('change-message');
    const first = Object.keys(errors)[0];
    if (first) {
      message.textContent = 'Not sent: ' + first + ' is ' + errors[first] + '.';
      $('f-' + first).focus();
      return;
    }
    const diffs = Object.keys(values).filter((k) => values[k] !== cam.device[k]);
    if (!diffs.length) {
      message.textContent = 'Nothing to change: the camera has these settings.';
      return;
    }
    if (!state.credentials.password_set) {
      message.textContent = 'Type the cameras\' account (user and password) at the top first.';
      $('user').focus();
      return;
    }
    message.textContent = '';
    const ok = await confirmChange('Change the camera ' + cam.device.mac + '?',
      diffs.map((k) => k + ': ' + cam.device[k] + ' → ' + values[k]));
    if (!ok) return;
    const log = $('change-log');
    log.replaceChildren();
    const say = (text, cls) => log.append(el('li', text, cls));
    $('change-go').disabled = true;
    try {
      await events('/api/modify', Object.assign({ mac: cam.device.mac }, values), (ev) => {
        if (ev.event === 'sending') say('Sent to ' + cam.device.ip + '.');
        else if (ev.event === 'answered') say('The camera answered; looking for it at its new settings…');
        else if (ev.event === 'confirmed') say('Confirmed by a search after ' + (ev.confirm_ms / 1000).toFixed(1) + ' s: it answers at ' + ev.device.ip + '.', 'ok');
        else if (ev.event === 'done') {
          log.dataset.result = ev.result;
          if (!ev.ok) say('Not applied (' + ev.result.replace(/_/g, ' ') + '): ' + ev.message, 'err');
          else if (ev.result === 'unchanged') say('Nothing to change: ' + ev.message + '.');
        }
      });
    } catch (err) {
      say('Not sent: ' + err.message, 'err');
    }
    $('change-go').disabled = false;
  }

  // ---------------------------------------------------------------- site plan

  function showTab(name) {
    for (const t of ['camera', 'plan']) {
      $('tab-' + t).setAttribute('aria-selected', t === name ? 'true' : 'false');
      $('tab-' + t).tabIndex = t === name ? 0 : -1;
      $('panel-' + t).hidden = t !== name;
    }
  }

  function describeNew(row) {
    if (!row.new) return '';
    return Object.keys(row.new).filter((k) => row.old && row.new[k] !== row.old[k])
      .map((k) => (k === 'ip' ? '' : k + ' ') + row.new[k]).join(', ');
  }

  const RESULT_WORDS = { would_change: 'will change', unchanged: 'unchanged', not_found: 'not on the LAN',
    refused_locally: 'refused', no_reply: 'no reply', not_confirmed: 'not confirmed',
    refused_by_device: 'refused by the camera' };

  function resultText(row) {
    if (row.result === 'applied') {
      return row.confirmed_by === 'search' ? 'confirmed after ' + (row.confirm_ms / 1000).toFixed(1) + ' s' : 'applied';
    }
    return (RESULT_WORDS[row.result] || row.result) + (row.reason ? ': ' + row.reason : '');
  }

  function showPlan(answer) {
    const message = $('plan-message');
    message.textContent = answer.message;
    message.className = answer.ok ? '' : 'err';
    $('plan-report').textContent = '';
    if (!answer.ok) return;
    state.plan = answer;
    const rows = answer.rows.map((r) => {
      const tr = el('tr');
      tr.dataset.line = r.line;
      tr.dataset.result = r.result;
      tr.append(el('td', String(r.line)), el('td', r.mac), el('td', r.device ? r.device.ip : ''),
        el('td', describeNew(r)), el('td', resultText(r), 'result'));
      return tr;
    });
    $('plan-rows').replaceChildren(...rows);
    $('plan').hidden = false;
    $('plan-download').disabled = false;
    $('plan-apply').disabled = !answer.rows.some((r) => r.result === 'would_change');
  }

  async function makePlan(e) {
    e.preventDefault();
    const from = $('a-from').value.trim();
    if (!isQuad(from) || !isUnicast(from)) {
      $('plan-message').textContent = 'from: give the first address, a unicast host address such as 192.168.1.100';
      $('plan-message').className = 'err';
      $('a-from').focus();
      return;
    }
    await askPlan('/api/assign', { from, order: $('a-order').value,
      netmask: $('a-netmask').value, gateway: $('a-gateway').value });
  }

  async function importPlan() {
    const file = $('import').files[0];
    if (!file) return;
    const text = await file.text();
    $('import').value = '';
    await askPlan('/api/plan', { csv: text });
  }

  async function askPlan(path, body) {
    try {
      showPlan(await post(path, body));
    } catch (err) {
      showPlan({ ok: false, message: err.message });
    }
  }

  function download(name, blob) {
    const a = el('a');
    a.href = URL.createObjectURL(blob);
    a.download = name;
    document.body.append(a);
    a.click();
    a.remove();
    setTimeout(() => URL.revokeObjectURL(a.href), 10000);
  }

  async function applyPlan() {
    const plan = state.plan;
    if (!plan || state.applying) return;
    if (!state.credentials.password_set) {
      $('plan-report').textContent = 'Type the cameras\' account (user and password) at the top first.';
      $('user').focus();
      return;
    }
    const changes = plan.rows.filter((r) => r.result === 'would_change');
    const ok = await confirmChange('Change ' + changes.length + ' camera' + (changes.length === 1 ? '' : 's') + '?',
      changes.map((r) => r.mac + ': ' + (r.device ? r.device.ip : '') + ' → ' + describeNew(r)));
    if (!ok) return;
    state.applying = true;
    $('plan-apply').disabled = true;
    const report = $('plan-report');
    report.textContent = 'Applying…';
    delete report.dataset.confirmed;
    const cell = (line) => document.querySelector('#plan-rows tr[data-line="' + line + '"] .result');
    try {
      await events('/api/apply', { csv: plan.csv }, (ev) => {
        if (ev.event === 'start') {
          for (const r of ev.rows) cell(r.line).textContent = 'waiting';
        } else if (ev.event === 'sent') {
          cell(ev.line).textContent = ev.answered ? 'answered, confirming…' : 'no reply yet, checking…';
        } else if (ev.event === 'row') {
          const c = cell(ev.line);
          c.textContent = resultText(ev);
          c.parentElement.dataset.result = ev.result;
        } else if (ev.event === 'done') {
          report.textContent = (ev.ok ? 'Done: ' : 'Not all went through: ') + ev.message;
          report.className = ev.ok ? 'ok' : 'err';
          if (ev.confirmed !== undefined) report.dataset.confirmed = ev.confirmed;
        }
      });
    } catch (err) {
      report.textContent = 'Not applied: ' + err.message;
      report.className = 'err';
    }
    state.applying = false;
  }

  // ---------------------------------------------------------------- start

  buildColumnList();
  buildHead();
  for (let n = 0; n < 16; n += 1) $('cam-resolution').append(new Option(String(n), String(n)));
  $('filter').addEventListener('input', () => { state.filter = $('filter').value; render(); });
  $('login').addEventListener('submit', useAccount);
  $('change').addEventListener('submit', change);
  $('cam-refresh').addEventListener('click', () => queuePictures(state.selected));
  $('assign').addEventListener('submit', makePlan);
  $('import').addEventListener('change', importPlan);
  $('plan-apply').addEventListener('click', applyPlan);
  $('plan-download').addEventListener('click', () => {
    if (state.plan) download('plan.csv', new Blob([state.plan.csv], { type: 'text/csv' }));
  });
  $('export').addEventListener('click', async () => {
    const rsp = await call('/api/cameras.csv').catch(() => null);
    if (rsp && rsp.ok) download('cameras.csv', await rsp.blob());
  });
  for (const t of ['camera', 'plan']) {
    $('tab-' + t).addEventListener('click', () => showTab(t));
    $('tab-' + t).addEventListener('keydown', (e) => {
      if (e.key === 'ArrowRight' || e.key === 'ArrowLeft') {
        const other = t === 'camera' ? 'plan' : 'camera';
        showTab(other);
        $('tab-' + other).focus();
      }
    });
  }
  poll();
})();
