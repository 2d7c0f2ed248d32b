// The chromalens report page: a grid of the images of a catalogue, ranked by colour.
// Scores are those of `chromalens search`, computed the same way to the last bit: the
// picked colour goes to 8-bit LAB with OpenCV's own fixed-point steps (tables in the
// data), each palette colour within D counts share * (((D - d) / D * 100) / 100), summed in
// palette order, and the sum is rounded to two decimals as Python's round does.
// Every file name and error is put in the page as text, never as markup.
"use strict";

(function () {
  const data = window.CHROMALENS_REPORT;
  const CARD_WIDTH = 236, CARD_HEIGHT = 310, GAP = 12, OVERSCAN_ROWS = 2;

  // ---- the catalogue, as typed arrays ---------------------------------------------------
  function bytes(text) {  // numbers come as little-endian binary in base64
    const raw = atob(text), out = new Uint8Array(raw.length);
    for (let i = 0; i < raw.length; i++) out[i] = raw.charCodeAt(i);
    return out;
  }
  const count = data.paths.length;
  const offsets = new Int32Array(bytes(data.offsets).buffer);
  const rgb = bytes(data.rgb);
  const lab = bytes(data.lab);
  const shares = new Float64Array(bytes(data.shares).buffer);
  const names = new Uint16Array(bytes(data.names).buffer);
  const paths = data.paths;
  let lowerPaths = null;  // made on the first use of the filter

  // ---- colours -----------------------------------------------------------------------------
  const T = data.labTables;
  function labOf(r, g, b) {
    // OpenCV's 8-bit RGB -> LAB: gamma table, integer matrix, cube-root table, rounding shifts.
    const K = T.coeffs, R = T.gamma[r], G = T.gamma[g], B = T.gamma[b];
    const fX = T.cbrt[(R * K[0] + G * K[1] + B * K[2] + 2048) >> 12];
    const fY = T.cbrt[(R * K[3] + G * K[4] + B * K[5] + 2048) >> 12];
    const fZ = T.cbrt[(R * K[6] + G * K[7] + B * K[8] + 2048) >> 12];
    const clamp = (v) => (v < 0 ? 0 : v > 255 ? 255 : v);
    return [clamp((296 * fY - 1336934 + 16384) >> 15),
            clamp((500 * (fX - fY) + (128 << 15) + 16384) >> 15),
            clamp((200 * (fY - fZ) + (128 << 15) + 16384) >> 15)];
  }
  const hex2 = (v) => v.toString(16).padStart(2, "0");
  const hexOf = (r, g, b) => "#" + hex2(r) + hex2(g) + hex2(b);
  function inkOn(r, g, b) {
    // Black or white, whichever has the higher WCAG contrast on the colour.
    const lin = (c) => { const v = c / 255; return v <= 0.04045 ? v / 12.92 : Math.pow((v + 0.055) / 1.055, 2.4); };
    const y = 0.2126 * lin(r) + 0.7152 * lin(g) + 0.0722 * lin(b);
    return (y + 0.05) / 0.05 >= 1.05 / (y + 0.05) ? "#000" : "#fff";
  }

  // ---- scores ------------------------------------------------------------------------------
  function scores(r, g, b, limit) {
    const [qL, qa, qb] = labOf(r, g, b);
    const out = new Float64Array(count);
    for (let i = 0; i < count; i++) {
      let sum = 0;
      for (let j = offsets[i]; j < offsets[i + 1]; j++) {
        const dL = lab[3 * j] - qL, da = lab[3 * j + 1] - qa, db = lab[3 * j + 2] - qb;
        const d = Math.sqrt(dL * dL + da * da + db * db);
        if (d <= limit) {
          const weight = ((limit - d) / limit * 100) / 100;
          if (weight > 0) sum += shares[j] * weight;
        }
      }
      // toFixed rounds the exact value, as Python's round(x, 2) does (no double lies on a tie).
      out[i] = sum > 0 ? Number(sum.toFixed(2)) : 0;
    }
    return out;
  }

  // ---- what is shown -----------------------------------------------------------------------
  const view = { query: null, scores: null, ranked: null, shown: null };
  window.chromalensView = view;
  window.chromalensTimings = { firstPaint: null, lastRank: null };
  const grid = document.getElementById("grid");
  const status = document.getElementById("status");
  const picker = document.getElementById("picker");
  const distance = document.getElementById("distance");
  const filter = document.getElementById("filter");
  let columns = 1, cardWidth = CARD_WIDTH;
  const rendered = new Map();

  function rank() {
    const t0 = performance.now();
    if (view.query === null) {
      view.scores = null;
      view.ranked = null;
    } else {
      const { r, g, b, limit } = view.query;
      const s = scores(r, g, b, limit);
      // Best score first, then the earlier image: one whole number per hit, sorted as numbers
      // (a score is a whole number of hundredths up to 10000; an image number is below 2 ** 21).
      const keys = new Float64Array(count);
      let hits = 0;
      for (let i = 0; i < count; i++) {
        if (s[i] > 0) keys[hits++] = (10000 - Math.round(s[i] * 100)) * 2097152 + i;
      }
      const order = keys.subarray(0, hits).sort();
      const ranked = new Array(hits);
      for (let k = 0; k < hits; k++) ranked[k] = order[k] % 2097152;
      view.scores = s;
      view.ranked = ranked;
    }
    applyFilter();
    const t1 = performance.now();
    requestAnimationFrame(() => {
      window.chromalensTimings.lastRank = performance.now() - t0;
      describe(t1 - t0);
    });
  }

  function applyFilter() {
    const needle = filter.value.trim().toLowerCase();
    if (needle && lowerPaths === null) lowerPaths = paths.map((p) => p.toLowerCase());
    const base = view.ranked;
    let shown;
    if (!needle) {
      shown = base;
    } else {
      shown = [];
      if (base === null) { for (let i = 0; i < count; i++) if (lowerPaths[i].includes(needle)) shown.push(i); }
      else { for (const i of base) if (lowerPaths[i].includes(needle)) shown.push(i); }
    }
    view.shown = shown;
    for (const card of rendered.values()) card.remove();
    rendered.clear();
    layout();
  }

  const shownCount = () => (view.shown === null ? count : view.shown.length);
  const imageAt = (k) => (view.shown === null ? k : view.shown[k]);

  function describe(milliseconds) {
    const total = count.toLocaleString("en");
    let text = `${total} image${count === 1 ? "" : "s"}`;
    if (view.query !== null) {
      const q = view.query;
      text += ` · ${view.ranked.length.toLocaleString("en")} near ${hexOf(q.r, q.g, q.b)} within ${q.limit}` +
        ` · ranked in ${Math.round(milliseconds)} ms`;
    }
    if (filter.value.trim()) text += ` · ${shownCount().toLocaleString("en")} shown by the filter`;
    status.textContent = text;
    document.getElementById("empty").hidden = shownCount() > 0;
  }

  // ---- the grid: only the cards near the screen exist --------------------------------------
  function layout() {
    const width = grid.clientWidth || window.innerWidth;
    columns = Math.max(1, Math.floor((width + GAP) / (CARD_WIDTH + GAP)));
    cardWidth = Math.floor((width - (columns - 1) * GAP) / columns);
    grid.style.height = `${Math.ceil(shownCount() / columns) * (CARD_HEIGHT + GAP)}px`;
    draw();
  }

  function draw() {
    const top = grid.getBoundingClientRect().top;
    const rowHeight = CARD_HEIGHT + GAP;
    const firstRow = Math.max(0, Math.floor(-top / rowHeight) - OVERSCAN_ROWS);
    const lastRow = Math.floor((window.innerHeight - top) / rowHeight) + OVERSCAN_ROWS;
    const first = firstRow * columns, last = Math.min(shownCount(), (lastRow + 1) * columns);
    const wanted = new Set();
    for (let k = first; k < last; k++) wanted.add(k);
    for (const [k, card] of rendered) if (!wanted.has(k)) { card.remove(); rendered.delete(k); }
    for (let k = first; k < last; k++) {
      if (rendered.has(k)) continue;
      const card = makeCard(imageAt(k));
      const row = Math.floor(k / columns), column = k % columns;
      card.style.width = `${cardWidth}px`;
      card.style.height = `${CARD_HEIGHT}px`;
      card.style.transform = `translate(${column * (cardWidth + GAP)}px, ${row * rowHeight}px)`;
      grid.appendChild(card);
      rendered.set(k, card);
    }
  }

  function element(tag, className, text) {
    const node = document.createElement(tag);
    if (className) node.className = className;
    if (text !== undefined) node.textContent = text;
    return node;
  }

  function makeCard(i) {
    const card = element("article", "card");
    card.dataset.image = String(i);
    const thumb = element("div", "thumb");
    if (data.thumbs[i]) {
      const img = element("img");
      img.alt = "";
      img.loading = "lazy";
      img.src = data.thumbs[i];
      thumb.appendChild(img);
    } else {
      thumb.appendChild(element("span", "none", "no preview"));
    }
    card.appendChild(thumb);
    const strip = element("div", "strip");
    const swatches = element("div", "swatches");
    for (let j = offsets[i]; j < offsets[i + 1]; j++) {
      const [r, g, b] = [rgb[3 * j], rgb[3 * j + 1], rgb[3 * j + 2]];
      const hex = hexOf(r, g, b);
      const part = element("span");
      part.style.flex = `${shares[j]} 0 0`;
      part.style.background = hex;
      strip.appendChild(part);
      const chip = element("button", "swatch", hex);
      chip.type = "button";
      chip.style.background = hex;
      chip.style.color = inkOn(r, g, b);
      chip.title = `${hex} ${data.cssNames[names[j]]} ${shares[j].toFixed(2)}%: rank by this colour`;
      chip.dataset.hex = hex;
      swatches.appendChild(chip);
    }
    card.appendChild(strip);
    card.appendChild(swatches);
    const path = element("p", "path");
    path.appendChild(element("bdi", "", paths[i]));
    path.title = paths[i];
    card.appendChild(path);
    const meta = element("p", "meta");
    meta.appendChild(element("span", "score", view.scores === null ? "" : `score ${view.scores[i].toFixed(2)}`));
    for (const format of ["json", "css", "gpl", "ase"]) {
      const link = element("a", "", format);
      link.href = "#";
      link.dataset.format = format;
      link.title = `Download this palette as .${format}`;
      meta.appendChild(link);
    }
    card.appendChild(meta);
    return card;
  }

  // ---- palette files, byte for byte as chromalens.export_palette writes them --------------
  const pyJson = (text) => JSON.stringify(text).replace(/[\u007f-\uffff]/g,
    (c) => "\\u" + c.charCodeAt(0).toString(16).padStart(4, "0"));
  const plainName = (text) => text.replace(/[\x00-\x1f\x7f]/g, " ");

  function paletteFile(i, format) {
    const name = paths[i].split(/[\\/]/).pop();
    const colours = [];
    for (let j = offsets[i]; j < offsets[i + 1]; j++) {
      const c = [rgb[3 * j], rgb[3 * j + 1], rgb[3 * j + 2]];
      colours.push({ c, hex: hexOf(c[0], c[1], c[2]), share: shares[j].toFixed(2), css: data.cssNames[names[j]] });
    }
    if (format === "json") {
      const rows = colours.map((x) => `    {"hex": "${x.hex}", "rgb": [${x.c.join(", ")}], ` +
        `"percentage": ${x.share}, "name": "${x.css}"}`);
      return new TextEncoder().encode(`{\n  "name": ${pyJson(name)},\n  "colors": [\n${rows.join(",\n")}\n  ]\n}\n`);
    }
    if (format === "css") {
      const title = plainName(name).split("*/").join("* /");
      const lines = [`/* ${title}: ${colours.length} colours, largest share first (chromalens) */`, ":root {"];
      colours.forEach((x, k) => lines.push(`  --color-${k + 1}: ${x.hex}; /* ${x.css}, ${x.share}% */`));
      return new TextEncoder().encode(lines.join("\n") + "\n}\n");
    }
    if (format === "gpl") {
      const pad = (v) => String(v).padStart(3, " ");
      const lines = ["GIMP Palette", `Name: ${plainName(name)}`, `Columns: ${Math.min(colours.length, 8)}`, "#"];
      for (const x of colours) lines.push(`${pad(x.c[0])} ${pad(x.c[1])} ${pad(x.c[2])}\t${x.hex} ${x.css} ${x.share}%`);
      return new TextEncoder().encode(lines.join("\n") + "\n");
    }
    // Adobe Swatch Exchange, big-endian: "ASEF", version 1.0, block count, one colour entry per colour.
    const blockSize = 6 + 2 + 16 + 4 + 12 + 2;
    const bytes = new Uint8Array(12 + colours.length * blockSize);
    const out = new DataView(bytes.buffer);
    [65, 83, 69, 70].forEach((v, k) => out.setUint8(k, v));
    out.setUint16(4, 1); out.setUint16(6, 0); out.setUint32(8, colours.length);
    let at = 12;
    for (const x of colours) {
      out.setUint16(at, 1); out.setUint32(at + 2, blockSize - 6); out.setUint16(at + 6, 8);
      for (let k = 0; k < 7; k++) out.setUint16(at + 8 + 2 * k, x.hex.charCodeAt(k));
      out.setUint16(at + 22, 0);
      [82, 71, 66, 32].forEach((v, k) => out.setUint8(at + 24 + k, v));
      x.c.forEach((v, k) => out.setFloat32(at + 28 + 4 * k, v / 255));
      out.setUint16(at + 40, 2);
      at += blockSize;
    }
    return bytes;
  }
  window.chromalensPaletteFile = paletteFile;
  window.chromalensLab = labOf;

  function download(i, format) {
    const name = paths[i].split(/[\\/]/).pop().replace(/\.[^.]*$/, "") || "palette";
    const url = URL.createObjectURL(new Blob([paletteFile(i, format)], { type: "application/octet-stream" }));
    const link = element("a");
    link.href = url;
    link.download = `${name}-palette.${format}`;
    document.body.appendChild(link);
    link.click();
    link.remove();
    setTimeout(() => URL.revokeObjectURL(url), 10000);
  }

  // ---- what the user does -------------------------------------------------------------------
  function query() {
    const value = picker.value;
    const limit = Number(distance.value);
    if (!(limit > 0) || !Number.isFinite(limit)) return;
    view.query = { r: parseInt(value.slice(1, 3), 16), g: parseInt(value.slice(3, 5), 16),
                   b: parseInt(value.slice(5, 7), 16), limit };
    rank();
  }
  picker.addEventListener("input", query);
  distance.addEventListener("change", () => { if (view.query !== null) query(); });
  document.getElementById("clear").addEventListener("click", () => { view.query = null; rank(); });
  filter.addEventListener("input", () => { applyFilter(); describe(0); });
  document.getElementById("controls").addEventListener("submit", (event) => event.preventDefault());
  grid.addEventListener("click", (event) => {
    const chip = event.target.closest(".swatch");
    const link = event.target.closest("a[data-format]");
    if (chip) {
      picker.value = chip.dataset.hex;
      query();
    } else if (link) {
      event.preventDefault();
      download(Number(link.closest(".card").dataset.image), link.dataset.format);
    }
  });
  let pending = false;
  const redraw = () => { if (!pending) { pending = true; requestAnimationFrame(() => { pending = false; draw(); }); } };
  window.addEventListener("scroll", redraw, { passive: true });
  window.addEventListener("resize", () => { for (const card of rendered.values()) card.remove(); rendered.clear(); layout(); });

  // ---- failures and skipped lines: text only ----------------------------------------------
  function listing(id, items, summary, fill) {
    if (!items.length) return;
    const details = document.getElementById(id);
    details.hidden = false;
    details.querySelector("summary").textContent = summary;
    const list = details.querySelector("ul");
    for (const item of items) list.appendChild(fill(item));
  }
  listing("failures", data.failed, `${data.failed.length.toLocaleString("en")} image` +
    `${data.failed.length === 1 ? "" : "s"} could not be analysed`, ([path, error]) => {
    const item = element("li");
    item.appendChild(element("bdi", "", path));
    item.appendChild(element("span", "error", `: ${error}`));
    return item;
  });
  listing("problems", data.problems, `${data.problems.length} line${data.problems.length === 1 ? "" : "s"} ` +
    "of the results skipped", (text) => element("li", "", text));

  document.title = data.title;
  document.getElementById("title").textContent = data.title;
  layout();
  describe(0);
  // From the start of navigation (data included) to the first frame with the grid in it.
  requestAnimationFrame(() => { window.chromalensTimings.firstPaint = performance.now(); });
})();
