-- The store of zarvo-shipper.conf, for ClickHouse 18.16 (Debian 12's
-- clickhouse-server) and later:
--   clickhouse-client --multiquery < zarvo-clickhouse.sql
-- One row per object of `zarvo-accesslogcat -o json`: a line of the proxy,
-- or a gap (kind 'gap': what the reader reports lost, in its place).
--
-- host, file and offset name a line (gap a gap): a line sent twice (after a kill of the
-- reader or a restart of its shipper) is a second row with the same key,
-- and ReplacingMergeTree keeps one of them when it merges. Count with
-- FINAL, which merges at query time:
--   SELECT host, count() FROM zarvo.access FINAL WHERE kind = 'line' GROUP BY host;
--
-- The MATERIALIZED columns are computed at insert from what the reader
-- sends: the time (18.16 cannot read the "time" string, so it is taken from
-- time_unix_ms) and the fields of nginx's "combined" format, which stay
-- empty or 0 for a line of another format.
CREATE DATABASE IF NOT EXISTS zarvo;

CREATE TABLE IF NOT EXISTS zarvo.access
(
    host String,
    file UInt64,
    offset UInt64,
    cursor String,
    time_unix_ms UInt64,
    line String,
    -- A line that is not valid UTF-8, as its bytes (the shipper renames
    -- the reader's array "line" to "line_bytes"); line is then empty.
    line_bytes Array(UInt8),
    -- A gap's fields, empty on a line: why (the reader's message), the
    -- last file lost (file is the first), and the bytes and records lost
    -- where the reader knows them. A gap's time is that of the last line
    -- read before it, so a gap reported again is the same row.
    gap String,
    last_file UInt64,
    bytes Nullable(UInt64),
    records Nullable(UInt64),
    kind String MATERIALIZED if(gap = '', 'line', 'gap'),
    time DateTime MATERIALIZED toDateTime(intDiv(time_unix_ms, 1000)),
    -- $remote_addr - $remote_user [$time_local] "$request" $status
    -- $body_bytes_sent "$http_referer" "$http_user_agent" ...
    remote_addr String MATERIALIZED extract(line, '^(\\S+) '),
    method String MATERIALIZED extract(line, '^[^"]*"(\\S+) '),
    path String MATERIALIZED extract(line, '^[^"]*"\\S+ ([^ "]*)'),
    status UInt16 MATERIALIZED toUInt16OrZero(extract(line, '^[^"]*"[^"]*" (\\d{3}) ')),
    body_bytes UInt64 MATERIALIZED toUInt64OrZero(extract(line, '^[^"]*"[^"]*" \\d{3} (\\d+)')),
    referer String MATERIALIZED extract(line, '^[^"]*"[^"]*" \\d{3} \\S+ "([^"]*)"'),
    user_agent String MATERIALIZED extract(line, '^[^"]*"[^"]*" \\d{3} \\S+ "[^"]*" "([^"]*)"')
)
ENGINE = ReplacingMergeTree
PARTITION BY toYYYYMM(time)
ORDER BY (host, file, offset, gap);
