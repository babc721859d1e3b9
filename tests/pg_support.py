"""PostgreSQL for the tests: a fresh schema per test in the database that
``ORVANE_PG_URL`` names (``tools/pg-throwaway start DIR`` prints such a URL).

Without a server (or without psycopg) the tests that ask for ``pg_url`` are
skipped; with ``ORVANE_REQUIRE_PG=1`` (set by CI where it starts one) a skip
would hide a broken setup, so it fails instead.

Use from a test module with ``from pg_support import pg_url``.
"""

import os
import urllib.parse
import uuid

import pytest


def pg_unavailable(reason: str) -> None:
    if os.environ.get("ORVANE_REQUIRE_PG") == "1":
        pytest.fail(f"ORVANE_REQUIRE_PG=1, but {reason}", pytrace=False)
    pytest.skip(reason)


def with_schema(url: str, schema: str) -> str:
    """The URL with every connection's search_path set to ``schema``."""
    parts = urllib.parse.urlsplit(url)
    query = urllib.parse.parse_qsl(parts.query, keep_blank_values=True)
    query = [(k, v) for k, v in query if k != "options"]
    query.append(("options", f"-c search_path={schema}"))
    return urllib.parse.urlunsplit(parts._replace(query=urllib.parse.urlencode(query, quote_via=urllib.parse.quote)))


def pg_base_url() -> str:
    base = os.environ.get("ORVANE_PG_URL", "").strip()
    if not base:
        pg_unavailable("no PostgreSQL server: set ORVANE_PG_URL (tools/pg-throwaway start DIR prints one)")
    try:
        import psycopg  # noqa: F401
    except ImportError:
        pg_unavailable("psycopg is not installed (pip install '.[postgres]')")
    return base


@pytest.fixture
def pg_url():
    """A database URL whose connections see only a new, empty schema, dropped after the test."""
    base = pg_base_url()  # skips (or fails) before psycopg is imported when it is missing
    import psycopg

    schema = "t_" + uuid.uuid4().hex[:16]
    try:
        with psycopg.connect(base, autocommit=True, connect_timeout=5) as conn:
            conn.execute(f'CREATE SCHEMA "{schema}"')
    except psycopg.OperationalError as exc:
        pg_unavailable(f"cannot reach the server at {base}: {exc}")
    yield with_schema(base, schema)
    with psycopg.connect(base, autocommit=True, connect_timeout=5) as conn:
        # Connections of servers killed in a test may take a moment to go away.
        conn.execute("SET lock_timeout = '20s'")
        conn.execute(f'DROP SCHEMA "{schema}" CASCADE')
