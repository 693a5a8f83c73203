"""The HTML report: one self-contained page for a batch, with thumbnails, palette bars and tables."""

from __future__ import annotations

import html
import os
from typing import IO

from ..names import hex_rgb
from ..results import RGB
from .records import Kind, Record, Row
from .writers import Settings, Writer, cells

__all__ = ["HtmlWriter", "CSS", "html_swatch", "ink"]


class HtmlWriter(Writer):
    """One self-contained HTML page for the batch: per image a thumbnail, the colours as a proportional
    bar (or per target a share meter) and the table; the failed images listed at the end. Inline CSS and
    `data:` images only, no script; the layout reflows to one column on narrow screens."""

    def __init__(self, kind: Kind, out: IO[str], settings: Settings) -> None:
        super().__init__(kind, out, settings)
        self.failed: list[Record] = []
        self.count = 0

    def begin(self) -> None:
        title = html.escape(self.settings.title or "Colour report")
        self.out.write(
            '<!DOCTYPE html>\n<html lang="en">\n<head>\n<meta charset="utf-8">\n'
            '<meta name="viewport" content="width=device-width, initial-scale=1">\n'
            f"<title>{title}</title>\n<style>{CSS}</style>\n</head>\n<body>\n<h1>{title}</h1>\n"
        )
        if self.settings.subtitle:
            self.out.write(f'<p class="meta"><code>{html.escape(self.settings.subtitle)}</code></p>\n')
        if self.settings.query is not None:
            query = html.escape(self.settings.query)
            self.out.write(
                f'<section class="query">\n<h2>Query image: {query}</h2>\n'
                f'<div class="preview">{self._preview(self.settings.query)}</div>\n</section>\n'
            )
        if self.kind.legend and self.settings.targets:
            colours = " ".join(
                f'{html_swatch(rgb)} <code>{html.escape(name)}</code>' for name, rgb in self.settings.targets.items()
            )
            self.out.write(f'<p class="legend">{html.escape(self.kind.legend)}: {colours}</p>\n')

    def write(self, record: Record) -> None:
        self.count += 1
        if "error" in record:
            self.failed.append(record)
            return
        path = html.escape(record["path"])
        rows = self.kind.rows(record, self.settings.targets)
        parts = [f'<section class="image">\n<h2>{path}</h2>\n']
        if self.kind.summary is not None:
            parts.append(f'<p class="summary">{html.escape(self.kind.summary(record))}</p>\n')
        if "chart_error" in record:
            parts.append(f'<p class="empty">Chart not written: {html.escape(record["chart_error"]["message"])}</p>\n')
        parts.append('<div class="layout">\n')
        parts.append(f'<div class="preview">{self._preview(record["path"])}</div>\n<div class="results">\n')
        if not rows:
            parts.append('<p class="empty">No colours found (every pixel masked out or dropped).</p>\n')
        else:
            parts.append(self._bar(rows) if self.kind.results == "colors" else self._meters(rows))
            parts.append(self._table(rows))
        parts.append("</div>\n</div>\n</section>\n")
        self.out.write("".join(parts))

    def _preview(self, path: str) -> str:
        if self.settings.preview is None:
            return ""
        try:
            uri = self.settings.preview(path)
        except Exception as error:  # the results stand without a picture
            return f'<p class="empty">No preview: {html.escape(str(error))}</p>'
        return f'<img src="{uri}" alt="{html.escape(os.path.basename(path))}">'

    def _bar(self, rows: list[Row]) -> str:
        """The dominant colours left to right in the library's order, each as wide as its share, as the
        chart draws them; shares above 5 % carry their figure where the segment is wide enough for it (on
        a phone the narrow ones lose it rather than show it cut). Colours that matched a query are marked
        by a dark strip under the bar."""
        segments, marks, start = [], [], 0.0
        for row in rows:
            share = float(row.entry[self.kind.share_key])
            figure = f"{share:.1f}%"
            label = f'<b class="w{len(figure)}">{figure}</b>' if share > 5 else ""
            place = f"left:{start:.4f}%;width:{share:.4f}%"
            matched = row.entry.get("matched")
            title = f'{row.entry["name"]} {share:.2f}%' + (f" matches {' '.join(matched)}" if matched else "")
            marked = ' class="matched"' if matched else ""
            segments.append(
                f'<span style="{place};background:{hex_rgb(row.rgb)};color:{ink(row.rgb)}"{marked}'
                f' title="{html.escape(title)}">{label}</span>'
            )
            if matched:
                marks.append(f'<span style="{place}" title="{html.escape(title)}"></span>')
            start += share
        bar = '<div class="bar">' + "".join(segments) + "</div>\n"
        return bar + ('<div class="marks">' + "".join(marks) + "</div>\n" if marks else "")

    def _meters(self, rows: list[Row]) -> str:
        """Per target, its share of the image as a bar in the target's colour."""
        lines = []
        for row in rows:
            share = float(row.entry[self.kind.share_key])
            colour = hex_rgb(row.target if row.target is not None else row.rgb)
            lines.append(
                f'<span class="label">{html.escape(row.label)}</span><span class="meter">'
                f'<span style="width:{min(share, 100.0):.4f}%;background:{colour}"></span></span>'
                f'<span class="num">{share:.2f}%</span>'
            )
        return '<div class="meters">' + "".join(lines) + "</div>\n"

    def _table(self, rows: list[Row]) -> str:
        columns, texts, numeric = cells(self.kind, rows, True, html_swatch)
        head = "".join(
            f'<th{" class=num" if right else ""}>{html.escape(column.header)}</th>'
            for column, right in zip(columns, numeric)
        )
        body = "\n".join(
            ('<tr class="matched">' if row.entry.get("matched") else "<tr>") + "".join(
                f'<td{" class=num" if right else ""}>{text if column.swatch else html.escape(text)}</td>'
                for column, text, right in zip(columns, line, numeric)
            ) + "</tr>"
            for row, line in zip(rows, texts)
        )
        return (
            f'<div class="scroll"><table>\n<thead><tr>{head}</tr></thead>\n<tbody>\n{body}\n</tbody>\n</table></div>\n'
        )

    def end(self) -> None:
        if self.failed:
            items = "\n".join(
                f'<li><code>{html.escape(record["path"])}</code>: '
                f'{html.escape(record["error"]["type"])}: {html.escape(record["error"]["message"])}</li>'
                for record in self.failed
            )
            heading = f"Failed images ({len(self.failed)})"
            self.out.write(f'<section class="failed">\n<h2>{heading}</h2>\n<ul>\n{items}\n</ul>\n</section>\n')
        images = f'{self.count} image{"" if self.count == 1 else "s"}'
        failed = f", {len(self.failed)} failed" if self.failed else ""
        self.out.write(f'<p class="meta">{images}{failed}.</p>\n</body>\n</html>\n')


def html_swatch(rgb: RGB | None) -> str:
    if rgb is None:
        return ""
    return f'<span class="swatch" style="background:{hex_rgb(rgb)}"></span>'


def ink(rgb: RGB) -> str:
    """Black or white text, whichever reads better on the colour."""
    r, g, b = rgb
    return "#000" if 0.299 * r + 0.587 * g + 0.114 * b > 140 else "#fff"


CSS = """
body{margin:0 auto;max-width:1100px;padding:12px;font:15px/1.4 system-ui,-apple-system,"Segoe UI",Roboto,sans-serif;
color:#222;background:#f6f6f6}
h1{font-size:1.35rem;margin:4px 0}
h2{font-size:1rem;margin:0 0 8px;overflow-wrap:anywhere}
.meta{color:#555;margin:4px 0 12px;overflow-wrap:anywhere}
section{background:#fff;border:1px solid #ddd;border-radius:8px;padding:12px;margin:0 0 12px}
.layout{display:flex;flex-wrap:wrap;gap:12px;align-items:flex-start}
.preview img{display:block;max-width:100%;height:auto;
background:repeating-conic-gradient(#ddd 0 25%,#fff 0 50%) 0 0/16px 16px}
.results{flex:1 1 300px;min-width:0}
.bar{position:relative;height:44px;margin:0 0 10px;background:#fff;outline:1px solid #ccc;overflow:hidden}
.bar span{position:absolute;top:0;bottom:0;box-sizing:border-box;border-right:1px solid #fff;display:flex;
align-items:center;justify-content:center;font-size:12px;font-weight:bold;overflow:hidden;white-space:nowrap;
container-type:inline-size}
@container (max-width:33px){.bar b.w4{display:none}}
@container (max-width:41px){.bar b.w5{display:none}}
@container (max-width:49px){.bar b.w6{display:none}}
.marks{position:relative;height:8px;margin:-8px 0 10px}
.marks span{position:absolute;top:2px;bottom:0;box-sizing:border-box;border-right:1px solid #fff;background:#222}
tr.matched td{font-weight:bold;background:#f0f0f0}
.summary{margin:-4px 0 8px;font-weight:bold}
.legend{margin:4px 0 12px}
.meters{display:grid;grid-template-columns:max-content 1fr max-content;gap:6px 8px;align-items:center;
margin:0 0 10px}
.meter{position:relative;height:18px;background:#eee;outline:1px solid #ccc}
.meter span{position:absolute;top:0;bottom:0;left:0}
.scroll{overflow-x:auto}
table{border-collapse:collapse;font-size:14px}
th,td{padding:3px 8px;text-align:left;white-space:nowrap;border-bottom:1px solid #eee}
th{border-bottom:1px solid #bbb}
.num{text-align:right;font-variant-numeric:tabular-nums}
.swatch{display:inline-block;width:2.4em;height:1.2em;vertical-align:middle;outline:1px solid rgba(0,0,0,.25)}
.empty{color:#777;font-style:italic}
.failed li{margin:4px 0;overflow-wrap:anywhere}
""".strip()
