// SPDX-License-Identifier: MIT
// Drives the distribution's headless Chromium through `camdisco web` as an
// installer would, run by camdisco_web_system_test.py inside the sandbox's
// installer host. Settings come in CAMDISCO_WEB_RUN (JSON). What the sandbox
// must do or check is asked on standard output ("ASK <json>", one answer line
// on standard input); "STEP <text>" lines say how far it got; the last line is
// "RESULT <json>". Mode "screenshot" stops after the screenshot.
'use strict';

const fs = require('fs');
const path = require('path');
const readline = require('readline');
const { chromium } = require(path.join(process.env.CAM_NPM_DIR, 'node_modules', 'playwright-core'));

const run = JSON.parse(process.env.CAMDISCO_WEB_RUN);
const WAIT = { timeout: 60000 };
const input = readline.createInterface({ input: process.stdin });
const lines = input[Symbol.asyncIterator]();

function step(text) { process.stdout.write('STEP ' + text + '\n'); }
async function ask(question) {
  process.stdout.write('ASK ' + JSON.stringify(question) + '\n');
  const answer = JSON.parse((await lines.next()).value);
  if (answer.error) throw new Error('the sandbox says: ' + answer.error);
  return answer;
}

(async () => {
  const browser = await chromium.launch({
    executablePath: '/usr/bin/chromium', headless: true,
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync'],
  });
  const result = { console: [], urls: [], bodies: [] };
  const context = await browser.newContext({ viewport: { width: 1366, height: 768 }, acceptDownloads: true });
  const page = await context.newPage();
  try {
    page.on('console', (m) => { if (m.type() === 'error' || m.type() === 'warning') result.console.push(m.type() + ': ' + m.text()); });
    page.on('pageerror', (e) => result.console.push('page error: ' + e.message));
    page.on('request', (r) => result.urls.push(r.url()));
    page.on('response', (r) => {
      // (not the CSV: asking for a body the page read as a blob makes Chromium fetch it again)
      if (r.url().includes('/api/') && !/^(image\/|text\/csv)/.test(r.headers()['content-type'] || '')) {
        r.text().then((t) => result.bodies.push(t), () => {});
      }
    });
    const row = (mac) => page.locator('#rows tr[data-key="' + mac + '"]');
    const thumb = (mac) => row(mac).locator('td.thumb');

    // every camera in the table within two search rounds
    await page.goto(run.url);
    await page.waitForSelector('#status[data-cameras="' + run.count + '"]', WAIT);
    result.round_all_listed = Number(await page.getAttribute('#status', 'data-round'));
    step('table lists ' + run.count + ' cameras in round ' + result.round_all_listed);

    // the account, typed once: first a wrong password, then the right one (Enter submits)
    await page.fill('#user', run.user);
    await page.fill('#password', run.wrong_password);
    await page.press('#password', 'Enter');
    for (const mac of run.httpd) await thumb(mac).locator('.refusal', { hasText: 'wrong password' }).waitFor(WAIT);
    result.wrong_password_title = await thumb(run.httpd[0]).locator('.refusal').getAttribute('title');
    for (const mac of run.plain) await thumb(mac).locator('.refusal', { hasText: 'no web server' }).waitFor(WAIT);
    await page.fill('#password', run.password);
    await page.press('#password', 'Enter');
    result.picture_widths = {};
    for (const mac of run.httpd) {
      const img = thumb(mac).locator('img');
      await img.waitFor(WAIT);
      await page.waitForFunction((e) => e.complete && e.naturalWidth > 0, await img.elementHandle(), WAIT);
      result.picture_widths[mac] = await img.evaluate((e) => e.naturalWidth);
    }
    step('pictures shown, refusals in words');

    // filter and sort (the header's button by keyboard)
    await page.fill('#filter', run.httpd[1].slice(-8));
    result.filtered = await page.locator('#rows tr').count();
    await page.fill('#filter', '');
    await page.locator('th[data-key="ip"] button').focus();
    await page.keyboard.press('Enter');
    result.sorted_first = await page.locator('#rows tr').first().getAttribute('data-key');
    await page.keyboard.press('Enter');

    // one camera picked by keyboard; the screenshot shows it
    await row(run.form.mac).focus();
    await page.keyboard.press('Enter');
    await page.waitForSelector('#camera:not([hidden]) #cam-picture img', WAIT);
    await page.screenshot({ path: run.screenshot });
    step('screenshot ' + run.screenshot);
    if (run.mode === 'screenshot') return;

    // the form: a bad value is stopped in the page; a good one is confirmed, sent,
    // answered and confirmed by a search, and the table shows the new address
    await page.fill('#f-ip', '10.60.3.256');
    await page.press('#f-ip', 'Enter');
    result.form_error = await page.textContent('#e-ip');
    result.dialog_after_error = await page.isVisible('#confirm');
    await page.fill('#f-ip', run.form.ip);
    await page.press('#f-ip', 'Enter');
    await page.waitForSelector('#confirm[open]', WAIT);
    result.confirm_text = await page.textContent('#confirm-body');
    await page.keyboard.press('Tab');   // from Cancel to Apply
    await page.keyboard.press('Enter');
    await page.waitForSelector('#change-log[data-result]', WAIT);
    result.form_result = await page.getAttribute('#change-log', 'data-result');
    result.form_log = await page.textContent('#change-log');
    await row(run.form.mac).locator('td[data-key="ip"]', { hasText: run.form.ip }).waitFor(WAIT);
    await ask({ check: [[run.form.mac, run.form.ip]] });
    step('form re-addressed ' + run.form.mac);

    // the site plan: sequential addresses, preview, apply, report
    await page.click('#tab-plan');
    await page.fill('#a-from', run.assign_from);
    await page.press('#a-from', 'Enter');
    await page.waitForSelector('#plan-rows tr >> nth=' + (run.count - 1), WAIT);
    const preview = await page.$$eval('#plan-rows tr', (trs) => trs.map((tr) => [tr.cells[1].textContent, tr.cells[3].textContent, tr.dataset.result]));
    result.preview = preview;
    await page.click('#plan-apply');
    await page.click('#confirm-ok');
    await page.waitForSelector('#plan-report[data-confirmed]', WAIT);
    result.batch_report = await page.textContent('#plan-report');
    result.batch_confirmed = Number(await page.getAttribute('#plan-report', 'data-confirmed'));
    await ask({ check: preview.map((p) => [p[0], p[1]]) });
    step('plan applied: ' + result.batch_report);

    // export the table once it shows every camera at its new address, edit it, import it
    for (const [mac, ip] of preview) await row(mac).locator('td[data-key="ip"]', { hasText: ip }).waitFor(WAIT);
    const [download] = await Promise.all([page.waitForEvent('download', WAIT), page.click('#export')]);
    const edited = await ask({ edit_csv: fs.readFileSync(await download.path(), 'utf8') });
    await page.setInputFiles('#import', { name: 'site.csv', mimeType: 'text/csv', buffer: Buffer.from(edited.csv) });
    await page.waitForSelector('#plan-rows tr[data-result="would_change"]', WAIT);
    result.import_preview = await page.$$eval('#plan-rows tr', (trs) => trs.map((tr) => tr.dataset.result));
    await page.click('#plan-apply');
    await page.click('#confirm-ok');
    await page.waitForSelector('#plan-report[data-confirmed]', WAIT);
    result.import_report = await page.textContent('#plan-report');
    await ask({ check: edited.moved });
    step('edited plan applied: ' + result.import_report);

    // a camera that leaves the LAN is greyed
    await ask({ remove: run.removed });
    await page.waitForSelector('#rows tr.silent[data-key="' + run.removed + '"]', WAIT);
    result.silent_title = await row(run.removed).getAttribute('title');
    step('silent camera greyed');
  } catch (err) {
    // what the page showed when it went wrong
    process.stderr.write('status: ' + await page.textContent('#status').catch(() => '?') + '\n' +
      'table: ' + await page.innerText('#table').catch(() => '?') + '\n' +
      'console: ' + result.console.join(' | ') + '\n');
    throw err;
  } finally {
    await browser.close();
    process.stdout.write('RESULT ' + JSON.stringify(result) + '\n');
  }
})().catch((err) => {
  process.stderr.write(String(err && err.stack ? err.stack : err) + '\n');
  process.exitCode = 1;
}).finally(() => input.close());   // nothing left to wait for: node ends
