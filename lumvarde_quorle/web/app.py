"""The web application on one catalogue: the search page (and its results alone, which the page's script
asks for), the image pages, the catalogue page and the pictures. It only reads the catalogue: each request
sees it as of one commit, so an `index` may run beside it."""

from __future__ import annotations

import hashlib
import os
import threading
import time
from dataclasses import dataclass
from typing import Any, Literal

import numpy as np
from flask import Flask, Response, g, make_response, render_template, request
from markupsafe import Markup
from werkzeug.exceptions import BadRequest, HTTPException, NotFound

from ..budget import PILLOW
from ..catalogue import AUTO, Catalogue, CatalogueError, Profile
from ..catalogue.entries import Entry, Summary
from ..names import hex_rgb
from ..text import shown
from .drawing import Segment, bars, distribution_svg, segments
from .queries import BadQuery, SearchQuery
from .cache import DEFAULT_LIMIT
from .thumbnails import Thumbnails, cache_folder

__all__ = ["create_app"]

SIMILAR = 12  # images on an image page
FAILURES_SHOWN = 500  # failed images listed on the catalogue page
_LARGEST_ID = 2**63 - 1  # SQLite's largest integer: beyond it no image can have the id
_LOOPBACK = ["localhost", "127.0.0.1", "[::1]"]
# Pictures and scripts of the server's own only; inline styles carry the bars' widths and colours.
_POLICY = (
    "default-src 'none'; img-src 'self'; style-src 'self' 'unsafe-inline'; script-src 'self'; connect-src 'self'; "
    "form-action 'self'; base-uri 'none'; frame-ancestors 'none'"
)


@dataclass(frozen=True)
class Card:
    """One image in a grid of results."""

    id: int | None  # None: gone from the catalogue since the query found it
    path: str
    summary: str
    bar: list[Segment]


class Site:
    """What every request shares: the catalogue file, one open Catalogue per serving thread (a Catalogue is
    for one thread), and the pictures."""

    def __init__(
        self, db: str, cache: str | None, cache_size: int, max_pixels: int | Literal["pillow"] | None
    ) -> None:
        self.db = db
        self._local = threading.local()
        self._summary: Summary | None = None
        self._summarising = threading.Lock()
        identity = self.catalogue().entries().identity()
        key = identity or hashlib.sha256(os.path.realpath(db).encode("utf-8", "surrogatepass")).hexdigest()[:32]
        self.thumbnails = Thumbnails(cache if cache is not None else cache_folder(key), max_pixels, cache_size)

    def summary(self) -> Summary:
        """The catalogue page's counts, read again only once the catalogue changed: they read every row (0.4 s
        at 100,000 images)."""
        entries = self.catalogue().entries()
        with self._summarising:
            if self._summary is None or self._summary.generation != entries.generation():
                self._summary = entries.summary(FAILURES_SHOWN)
            return self._summary

    def catalogue(self) -> Catalogue:
        found: Catalogue | None = getattr(self._local, "catalogue", None)
        if found is None:
            found = self._local.catalogue = Catalogue(self.db)
        return found


def create_app(
    db: str, *, cache: str | None = None, cache_size: int = DEFAULT_LIMIT,
    max_pixels: int | Literal["pillow"] | None = PILLOW, loopback: str | None = "127.0.0.1",
) -> Flask:
    """The application on the catalogue file `db` (opened now: an error when it is no catalogue). Pictures
    are kept in `cache`, by default the user's cache folder for this catalogue, up to `cache_size` bytes (the
    least recently seen dropped first; 0 keeps none); images are decoded under the pixel budget
    `max_pixels`. Served on the `loopback` address, requests naming a host other than it or
    localhost are refused, so that a web page elsewhere cannot reach the server by a name of its own pointed
    at this machine; None (served beyond this machine) takes any host."""
    app = Flask(__name__)
    app.add_template_filter(hex_rgb, "hexcode")
    trusted = None if loopback is None else {*_LOOPBACK, loopback, f"[{loopback}]"}
    site = Site(os.path.abspath(db), cache, cache_size, max_pixels)

    @app.before_request
    def started() -> None:
        g.started, g.search = time.perf_counter(), None
        if trusted is not None and _host_name(request.host) not in trusted:
            raise BadRequest(f"this server answers requests for {', '.join(sorted(_LOOPBACK))} only")

    @app.after_request
    def headers(response: Response) -> Response:
        response.headers["Content-Security-Policy"] = _POLICY
        response.headers["X-Content-Type-Options"] = "nosniff"
        response.headers["Referrer-Policy"] = "no-referrer"
        timings = [f"total;dur={(time.perf_counter() - g.get('started', time.perf_counter())) * 1e3:.1f}"]
        if g.get("search") is not None:
            timings.insert(0, f"search;dur={g.search * 1e3:.1f}")
        response.headers["Server-Timing"] = ", ".join(timings)
        return response

    @app.get("/")
    def search_page() -> str:
        query = SearchQuery.of(request.args, request.args.getlist("color"))
        return render_template(
            "search.html", query=query, results=results(query) if query.rgb else None, choices=choices()
        )

    @app.get("/results")
    def search_results() -> str:
        query = SearchQuery.of(request.args, request.args.getlist("color"))
        return render_template("results.html", query=query, results=results(query) if query.rgb else None)

    def results(query: SearchQuery) -> list[Card]:
        catalogue = site.catalogue()
        extractor, mask, every = scope(query.settings)
        started = time.perf_counter()
        try:
            hits = catalogue.search(
                query.labels, tolerance=query.tolerance, min_share=query.min_share, limit=query.limit,
                extractor=extractor, mask=mask, all_settings=every,
            )
        except ValueError as error:
            raise BadQuery(str(error)) from None
        g.search = time.perf_counter() - started
        ids = catalogue.entries().ids((hit["path"], hit["settings"]) for hit in hits)
        cards = []
        for hit, number, bar in zip(hits, ids, bars(hit["colors"] for hit in hits)):
            shares = hit["queries"]
            summary = (
                f"{hit['share']:.2f}% of the pixels" if len(shares) == 1
                else "% of the pixels: " + ", ".join(f"{label} {share:.2f}" for label, share in shares.items())
            )
            cards.append(Card(number, shown(hit["path"]), summary, bar))
        return cards

    def choices() -> list[tuple[str, str]]:
        """The settings a search can look at, as the form offers them, when there is a choice."""
        groups = settings_groups()
        if len(groups) < 2:
            return []
        return [("", "every image"), *((str(number), group.describe()) for number, group in enumerate(groups, 1))]

    def settings_groups() -> list[Profile]:
        groups: dict[str, Profile] = {}
        for profile in site.catalogue().profiles():
            groups.setdefault(profile.per_image().key, profile.per_image())
        return list(groups.values())

    def scope(choice: str) -> tuple[Any, str | None, bool]:
        """(extractor settings, mask, all settings) of the form's settings choice."""
        if not choice or choice == "all":
            groups = settings_groups()
            return None, AUTO, len(groups) > 1 or choice == "all"
        groups = settings_groups()
        number = int(choice)
        if not 1 <= number <= len(groups):
            raise BadQuery(f"settings {number}: the catalogue has {len(groups)} settings (see the catalogue page)")
        return groups[number - 1].settings(), groups[number - 1].mask, False

    def entry_of(image_id: int) -> Entry:
        found = site.catalogue().entries().get(image_id) if image_id <= _LARGEST_ID else None
        if found is None:
            raise NotFound(f"no image {image_id} in the catalogue (pruned since, or never indexed)")
        return found

    @app.get("/image/<int:image_id>")
    def image_page(image_id: int) -> str:
        entry = entry_of(image_id)
        drawn, alike, problem = None, [], None
        if entry.distribution:
            drawn = Markup(distribution_svg(entry.distribution))
            try:
                alike = similar(entry)
            except (CatalogueError, ValueError) as error:
                problem = str(error)
        return render_template(
            "image.html", entry=entry, path=shown(entry.path), bar=segments(entry.colors), drawn=drawn,
            similar=alike, problem=problem, settings=entry.profile.describe(),
            indexed=time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(entry.indexed_at)),
        )

    def similar(entry: Entry) -> list[Card]:
        """The images most alike, by the entry's stored distribution (its file is not read again), among the
        images of its settings."""
        import cv2

        from ..distribution import WEIGHT_UNIT, records

        table = records(entry.distribution or b"")
        lab = table["lab"].astype(np.float32).reshape(1, -1, 3)
        rgb = np.clip(np.round(cv2.cvtColor(lab, cv2.COLOR_Lab2RGB) * 255), 0, 255).astype(int).reshape(-1, 3)
        palette = [
            {"color": tuple(int(c) for c in colour), "percentage": float(weight) * 100 / WEIGHT_UNIT}
            for colour, weight in zip(rgb, table["weight"])
        ]
        profile = entry.profile.per_image()
        catalogue = site.catalogue()
        hits = catalogue.similar(palette, limit=SIMILAR + 1, extractor=profile.settings(), mask=profile.mask)
        ids = catalogue.entries().ids((hit["path"], hit["settings"]) for hit in hits)
        return [
            Card(number, shown(hit["path"]), f"{hit['distance']:.2f}% of its colour unmatched", bar)
            for hit, number, bar in zip(hits, ids, bars(hit["colors"] for hit in hits)) if number != entry.id
        ][:SIMILAR]

    @app.get("/image/<int:image_id>/<any(thumbnail, view):kind>")
    def picture(image_id: int, kind: str) -> Response:
        made = site.thumbnails.picture(entry_of(image_id), kind)
        response = make_response(made.data)
        response.mimetype = made.mime
        if made.tag is None:
            response.headers["Cache-Control"] = "no-store"
            return response
        response.set_etag(made.tag)
        response.headers["Cache-Control"] = "private, max-age=3600"
        response.make_conditional(request)  # a 304 for a picture the browser holds
        return response

    @app.get("/catalogue")
    def catalogue_page() -> str:
        summary = site.summary()
        counts = summary.counts
        return render_template(
            "catalogue.html", db=shown(site.db), counts=counts, total=sum(count.entries for count in counts),
            failed=sum(count.failed for count in counts),
            failures=[(number, shown(path), kind, shown(message)) for number, path, kind, message in summary.failures],
        )

    @app.errorhandler(BadQuery)
    def bad_query(error: BadQuery) -> tuple[str, int]:
        return page_of_error(400, "Bad request", str(error))

    @app.errorhandler(CatalogueError)
    def unanswered(error: CatalogueError) -> tuple[str, int]:
        if error.fault:
            return page_of_error(503, "The catalogue could not be read", shown(str(error)))
        return page_of_error(400, "The catalogue cannot answer this", shown(str(error)))

    @app.errorhandler(HTTPException)
    def http_error(error: HTTPException) -> tuple[str, int]:
        return page_of_error(error.code or 500, error.name, error.description or "")

    @app.errorhandler(Exception)
    def failed(error: Exception) -> tuple[str, int]:
        app.logger.exception("request failed: %s", request.path)
        return page_of_error(500, "Internal error", "the server could not answer; its log says why")

    def page_of_error(code: int, title: str, message: str) -> tuple[str, int]:
        template = "error-fragment.html" if request.path == "/results" else "error.html"
        try:
            return render_template(template, code=code, title=title, message=message), code
        except AttributeError:  # a request that could not be routed at all leaves no links to make: plain text
            return f"{title}: {message}\n", code

    return app


def _host_name(host: str) -> str:
    """The name of a Host header, without its port: `[::1]` of `[::1]:8765`."""
    host = host.lower()
    return host[: host.index("]") + 1] if host.startswith("[") and "]" in host else host.partition(":")[0]
