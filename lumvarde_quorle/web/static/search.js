// The search form without full reloads: the results are fetched as a piece of page (the server escapes
// everything in it) and the page's URL is the query, so it can be bookmarked, shared and gone back to.
"use strict";

document.addEventListener("DOMContentLoaded", () => {
  const form = document.getElementById("query");
  const colours = document.getElementById("colours");
  const results = document.getElementById("results");
  let pending = null;

  const HEX = /^#[0-9a-f]{6}$/i;

  function wire(row) {
    const picker = row.querySelector("input[type=color]");
    const text = row.querySelector("input[type=text]");
    picker.addEventListener("input", () => { text.value = picker.value; });
    picker.addEventListener("change", () => { text.value = picker.value; search(true); });
    text.addEventListener("input", () => { if (HEX.test(text.value.trim())) picker.value = text.value.trim(); });
    row.querySelector(".remove").addEventListener("click", () => {
      if (colours.querySelectorAll(".colour").length > 1) row.remove(); else text.value = "";
      search(true);
    });
  }

  function addRow(value) {
    const rows = colours.querySelectorAll(".colour");
    const row = rows[rows.length - 1].cloneNode(true);
    row.querySelector("input[type=text]").value = value || "";
    document.getElementById("add").before(row);
    wire(row);
    return row;
  }

  function query() {
    const params = new URLSearchParams();
    for (const [name, value] of new FormData(form)) {
      if (String(value).trim() !== "") params.append(name, String(value).trim());
    }
    return params.toString();
  }

  async function search(remember) {
    const asked = query();
    if (remember && location.search.slice(1) !== asked) history.pushState(null, "", "?" + asked);
    if (pending) pending.abort();
    pending = new AbortController();
    results.setAttribute("aria-busy", "true");
    try {
      const response = await fetch(form.dataset.results + "?" + asked, { signal: pending.signal });
      results.innerHTML = await response.text();
      results.setAttribute("aria-busy", "false");
    } catch (error) {
      if (error.name !== "AbortError") {
        results.textContent = "The server did not answer: " + error.message;
        results.setAttribute("aria-busy", "false");
      }
    }
  }

  function fromLocation() {
    const params = new URLSearchParams(location.search);
    const given = params.getAll("color");
    const rows = colours.querySelectorAll(".colour");
    rows.forEach((row, index) => { if (index > 0) row.remove(); });
    const first = colours.querySelector(".colour input[type=text]");
    first.value = given[0] || "";
    given.slice(1).forEach((value) => addRow(value));
    colours.querySelectorAll(".colour").forEach((row) => {
      const text = row.querySelector("input[type=text]").value.trim();
      if (HEX.test(text)) row.querySelector("input[type=color]").value = text;
    });
    for (const name of ["tolerance", "min_share", "settings"]) {
      const field = form.elements.namedItem(name);
      if (field && params.has(name)) field.value = params.get(name);
    }
  }

  colours.querySelectorAll(".colour").forEach(wire);
  document.getElementById("add").addEventListener("click", () => addRow("").querySelector("input[type=text]").focus());
  form.addEventListener("submit", (event) => { event.preventDefault(); search(true); });
  form.addEventListener("change", (event) => {
    if (event.target.type !== "color") search(true);
  });
  window.addEventListener("popstate", () => { fromLocation(); search(false); });
});
