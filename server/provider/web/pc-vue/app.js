'use strict';
// The purchase (#/buy?token=...) and upload (#/upload?token=...) pages that the desktop client shows.
// Every API call carries the token the page was opened with; the client is reached over its web
// channel, which only exists inside the client.

const API = '/api/pc-web/v1';
const CALLBACK = 'onUploadReply';

function route() {
  const hash = location.hash.replace(/^#/, '');
  const q = hash.indexOf('?');
  const path = q < 0 ? hash : hash.slice(0, q);
  const params = new URLSearchParams(q < 0 ? '' : hash.slice(q + 1));
  return { path: path, token: params.get('token') || '' };
}

// Builds an element; children are nodes or texts (never parsed as HTML).
function el(tag, attrs, ...children) {
  const node = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs || {})) {
    if (k === 'class') node.className = v;
    else if (k.startsWith('on')) node.addEventListener(k.slice(2), v);
    else if (v !== false && v !== null && v !== undefined) node.setAttribute(k, v === true ? '' : v);
  }
  for (const c of children) node.append(c instanceof Node ? c : String(c));
  return node;
}

function money(fen) { return '¥' + (fen / 100).toFixed(2); }

function day(seconds) {
  const d = new Date(seconds * 1000);
  const pad = (n) => String(n).padStart(2, '0');
  return d.getFullYear() + '-' + pad(d.getMonth() + 1) + '-' + pad(d.getDate()) + ' ' + pad(d.getHours()) + ':' +
    pad(d.getMinutes());
}

// A fresh key for each order the user means to place. A second click or a retry before the answer
// sends the same key again, and the provider pays for a key once. A click in the second after an
// order went through is the rest of a double click on the same button, not a new order: it is
// ignored. By button: 'buy', or 'renew' and the phone's id.
const quietUntil = {};
function orderKey() {
  const bytes = new Uint8Array(16);
  crypto.getRandomValues(bytes);
  return Array.from(bytes, (b) => b.toString(16).padStart(2, '0')).join('');
}

class ApiError extends Error {
  constructor(status, msg) { super(msg); this.status = status; }
}

async function api(token, path, form) {
  const init = { headers: { Authorization: token } };
  if (form) {
    init.method = 'POST';
    init.body = new URLSearchParams(form);
  }
  let answer;
  try {
    const res = await fetch(API + path, init);
    answer = await res.json();
  } catch (e) {
    throw new ApiError(0, '无法连接服务器，请稍后再试');
  }
  if (answer.status !== 1) throw new ApiError(answer.status, answer.msg || '请求失败');
  return answer.content;
}

// Replaces the page's content. The document title names the shown page once its content is in, so
// that the client (and its log) can tell a page that is ready from one still loading.
function show(...cards) {
  const main = document.getElementById('app');
  main.replaceChildren(...cards);
  const page = document.getElementById('pageTitle').textContent;
  document.title = 'Pelomir 云手机' + (page ? ' · ' + page : '');
}

// A missing or foreign token never shows any account's data: only this notice.
function loginNotice(msg) {
  show(el('div', { class: 'card notice', id: 'loginNotice' },
    el('h1', {}, '请先登录'),
    el('p', {}, msg || '请先登录'),
    el('p', { class: 'muted' }, '请在 Pelomir 客户端中登录后，从工具栏重新打开本页面。')));
}

function failed(e) {
  if (e.status === 401) loginNotice(e.message);
  else show(el('div', { class: 'card notice' }, el('h1', {}, '页面加载失败'), el('p', {}, e.message)));
}

// ---- purchase page ----

async function buyPage(token) {
  document.getElementById('pageTitle').textContent = '商城';
  let plans, phones;
  try {
    [plans, phones] = await Promise.all([api(token, '/plans'), api(token, '/phones')]);
  } catch (e) {
    failed(e);
    return;
  }
  let chosen = plans[0];
  const count = el('select', { id: 'count' }, ...[1, 2, 3, 5, 10].map((n) => el('option', { value: n }, n + ' 台')));
  const months = el('select', { id: 'months' }, ...[1, 3, 6, 12].map((n) => el('option', { value: n }, n + ' 个月')));
  const channel = el('select', { id: 'payChannel' }, el('option', { value: 'wechat' }, '微信支付'));
  const total = el('span', { class: 'total', id: 'total' });
  const result = el('div', { id: 'result' });
  const buy = el('button', { id: 'btnBuy' }, '立即购买');
  let buyKey = orderKey();
  // A refused order says why; a lost login replaces the page with the notice (true: leave as is).
  function orderFailed(e) {
    if (e.status === 401) {
      loginNotice(e.message);
      return true;
    }
    result.className = 'error';
    result.textContent = e.message;
    return false;
  }
  const cards = plans.map((plan) => {
    const icon = el('img', { src: plan.icon, alt: '' });
    const card = el('div', { class: 'plan', 'data-billing': plan.billingId }, icon,
      el('div', {}, el('div', { class: 'name' }, plan.name), el('div', { class: 'price' }, money(plan.monthPrice) + ' / 月')));
    // A plan whose icon the provider does not have gets its first letter instead.
    icon.addEventListener('error', () => icon.replaceWith(el('div', { class: 'noicon' }, plan.name.slice(0, 1))));
    card.addEventListener('click', () => { chosen = plan; update(); });
    return card;
  });
  function update() {
    cards.forEach((c, i) => c.classList.toggle('selected', plans[i] === chosen));
    total.textContent = chosen ? '合计 ' + money(chosen.monthPrice * count.value * months.value) : '';
    buy.disabled = !chosen;
    buyKey = orderKey();
  }
  count.addEventListener('change', update);
  months.addEventListener('change', update);

  const table = el('tbody', { id: 'phones' });
  const heading = el('h2', {});
  function renderPhones() {
    heading.textContent = '我的云手机（' + phones.length + '）';
    table.replaceChildren(...phones.map((p) => {
      const renewMonths = el('select', {}, ...[1, 3, 6, 12].map((n) => el('option', { value: n }, n + ' 个月')));
      const expiry = el('td', { class: p.expired ? 'expired' : '' }, day(p.endTime) + (p.expired ? '（已到期）' : ''));
      const renew = el('button', {}, '续费');
      let renewKey = orderKey();
      renewMonths.addEventListener('change', () => { renewKey = orderKey(); });
      renew.addEventListener('click', async () => {
        if (Date.now() < (quietUntil['renew' + p.cloudPhoneId] || 0)) return;
        renew.disabled = true;
        try {
          const done = await api(token, '/renew', { cloudPhoneId: p.cloudPhoneId, months: renewMonths.value,
            payChannel: channel.value, orderKey: renewKey });
          quietUntil['renew' + p.cloudPhoneId] = Date.now() + 1000;
          p.endTime = done.endTime;
          p.expired = false;
          result.className = 'ok';
          result.textContent = p.name + ' 续费成功，新的到期时间 ' + day(done.endTime);
          renderPhones();
        } catch (e) {
          if (!orderFailed(e)) renew.disabled = false;
        }
      });
      return el('tr', { 'data-phone': p.cloudPhoneId }, el('td', {}, p.name), el('td', { class: 'muted' }, p.deviceId),
        el('td', {}, p.planName), expiry,
        el('td', {}, p.renewable ? el('span', {}, renewMonths, ' ', renew) : el('span', { class: 'muted' }, p.owned ? '不可续费' : '授权设备')));
    }));
  }
  buy.addEventListener('click', async () => {
    if (Date.now() < (quietUntil.buy || 0)) return;
    buy.disabled = true;
    result.className = '';
    result.textContent = '正在支付…';
    try {
      const order = await api(token, '/buy', { billingId: chosen.billingId, count: count.value, months: months.value,
        payChannel: channel.value, orderKey: buyKey });
      quietUntil.buy = Date.now() + 1000;
      buyKey = orderKey();
      result.className = 'ok';
      result.textContent = '购买成功（订单 ' + order.orderNo + '，' + money(order.amount) + '）：' +
        order.phones.map((p) => p.name + ' ' + p.deviceId).join('、') + '。刷新客户端的设备列表即可看到新云手机。';
      phones = await api(token, '/phones');
      renderPhones();
    } catch (e) {
      if (orderFailed(e)) return;
    }
    buy.disabled = false;
  });

  show(
    el('div', { class: 'card' }, el('h2', {}, '选择套餐'), el('div', { class: 'plans' }, ...cards),
      el('div', { class: 'form' },
        el('div', {}, el('label', {}, '数量'), count),
        el('div', {}, el('label', {}, '时长'), months),
        el('div', {}, el('label', {}, '支付方式'), channel),
        el('div', {}, total), buy),
      result),
    el('div', { class: 'card' }, heading,
      el('table', {}, el('thead', {}, el('tr', {}, ...['名称', '设备ID', '套餐', '到期时间', '续费'].map((t) => el('th', {}, t)))), table)));
  update();
  renderPhones();
}

// ---- upload page ----

function connectClient() {
  return new Promise((resolve) => {
    if (typeof QWebChannel === 'undefined' || typeof qt === 'undefined' || !qt.webChannelTransport) {
      resolve(null);
      return;
    }
    new QWebChannel(qt.webChannelTransport, (channel) => resolve(channel.objects.VMUploadWebEngin || null));
  });
}

async function uploadPage(token) {
  document.getElementById('pageTitle').textContent = '上传';
  let phones, files, client;
  try {
    [phones, files, client] = await Promise.all([api(token, '/phones'), api(token, '/catalogue'), connectClient()]);
  } catch (e) {
    failed(e);
    return;
  }
  const boxes = phones.map((p) => {
    const box = el('input', { type: 'checkbox', value: p.deviceId, disabled: !p.canUpload });
    return { phone: p, box: box, row: el('label', { class: p.canUpload ? '' : 'disabled' }, box, p.name,
      el('span', { class: 'muted' }, p.deviceId + (p.canUpload ? '' : (p.expired ? '（已到期）' : '（只读授权）')))) };
  });
  const radios = files.map((f, i) => {
    const radio = el('input', { type: 'radio', name: 'file', value: i, checked: i === 0 });
    return { file: f, radio: radio, row: el('label', {}, radio, f.name,
      el('span', { class: 'badge ' + f.kind }, f.kind === 'apk' ? '应用' : '文件'),
      el('span', { class: 'muted' }, f.size + ' 字节')) };
  });
  const all = el('input', { type: 'checkbox', id: 'chkAll' });
  all.addEventListener('change', () => { boxes.forEach((b) => { if (!b.box.disabled) b.box.checked = all.checked; }); refresh(); });
  const send = el('button', { id: 'btnSend' }, '发送到所选云手机');
  const why = el('span', { id: 'why' });
  const results = el('tbody', { id: 'results' });
  const pending = new Map(); // deviceId → result cell

  function refresh() {
    const ticked = boxes.filter((b) => b.box.checked).length;
    if (!client) {
      send.disabled = true;
      send.textContent = '发送（请在客户端中使用）';
      why.textContent = '未连接到 Pelomir 客户端：本页面只有在客户端的“上传文件”窗口中打开时才能发送文件。';
    } else {
      send.disabled = ticked === 0 || radios.length === 0;
      why.textContent = ticked === 0 ? '请勾选至少一台云手机' : '';
    }
  }
  boxes.forEach((b) => b.box.addEventListener('change', refresh));

  send.addEventListener('click', () => {
    const file = radios.find((r) => r.radio.checked).file;
    const targets = boxes.filter((b) => b.box.checked).map((b) => b.phone);
    pending.clear();
    results.replaceChildren(...targets.map((p) => {
      const state = el('td', { class: 'state-wait' }, '等待回复…');
      pending.set(p.deviceId, { state: state, install: file.kind === 'apk' });
      return el('tr', { 'data-device': p.deviceId }, el('td', {}, p.name), el('td', { class: 'muted' }, p.deviceId),
        el('td', {}, file.name), state);
    }));
    client.onRecvWebMsg(JSON.stringify({ callback: CALLBACK, value: { type: file.kind === 'apk' ? 1 : 2,
      apkurl: file.url, phoneInfo: targets.map((p) => ({ deviceId: p.deviceId })) } }));
  });

  if (client) {
    // One reply per phone, as each phone answers.
    client.msgToJs.connect((text) => {
      let reply;
      try { reply = JSON.parse(text); } catch (e) { return; }
      if (!reply || !reply.value || (reply.callback !== CALLBACK && reply.callback !== '')) return;
      // A request the client could not carry out: no phone was asked, so none will answer.
      if (reply.value.error !== undefined) {
        why.textContent = '发送失败：' + reply.value.error;
        pending.forEach((entry) => {
          entry.state.className = 'state-fail';
          entry.state.textContent = '失败（' + reply.value.error + '）';
        });
        pending.clear();
        return;
      }
      const entry = pending.get(reply.value.deviceId);
      if (!entry) return;
      const ok = reply.value.type >= 0;
      entry.state.className = ok ? 'state-ok' : 'state-fail';
      entry.state.textContent = ok ? (entry.install ? '已安装' : '已发送') : '失败（' + reply.value.type + '）';
    });
  }

  show(
    el('div', { class: 'card columns' },
      el('div', {}, el('h2', {}, '选择云手机'), el('div', { class: 'list', id: 'phoneList' },
        el('label', {}, all, '全选'), ...boxes.map((b) => b.row))),
      el('div', {}, el('h2', {}, '文件库'), el('div', { class: 'list', id: 'fileList' }, ...radios.map((r) => r.row)),
        el('div', { class: 'actions' }, send, why))),
    el('div', { class: 'card' }, el('h2', {}, '发送结果'),
      el('table', {}, el('thead', {}, el('tr', {}, ...['云手机', '设备ID', '文件', '结果'].map((t) => el('th', {}, t)))), results)));
  refresh();
}

function start() {
  const r = route();
  if (!r.token) {
    loginNotice('请先登录');
    return;
  }
  if (r.path === '/buy') buyPage(r.token);
  else if (r.path === '/upload') uploadPage(r.token);
  else show(el('div', { class: 'card' }, el('h1', {}, '页面不存在'), el('p', {}, '请从客户端的工具栏打开商城或上传页面。')));
}

window.addEventListener('hashchange', start);
start();
