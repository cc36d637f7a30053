<?php
// What the page and the API ask of the table can_log: frames per
// identifier, frames per time bucket, and the values of one identifier over
// time. Times are ms since 1970 UTC, ranges half open: [from, to).
//
// Where the summary tables can_log_minute and can_log_hour exist
// (db/can_log.sql), whole hours and minutes are counted from them: the rows
// they have counted (id up to can_log_summary_state.last_id) from the
// summary, the newer ones from the frames themselves, and so are the parts
// of a range that do not fill a minute. Every answer is exact for any
// range, and ten days of frames cost some thousand summary rows. Tables without it (or without the source
// column of older versions) are read directly. Each request reads in one
// snapshot, so the summary and the rows agree.
//
// Values are PHP numbers: int on a 64-bit PHP; on a 32-bit PHP a time in ms
// becomes a float, which holds it exactly (below 2^53) and which
// json_encode writes as an integer.

final class KCanLog
{
    const MINUTE = 60000;
    const HOUR = 3600000;
    // The summary's levels, each counted per `minute` (in can_log_hour the
    // hour's first minute).
    const LEVELS = ['minutes' => 'can_log_minute', 'hours' => 'can_log_hour'];
    // The times of frames: from 2000-01-01 to a day ahead of the clock.
    const EARLIEST = 946684800000;
    const AHEAD = 86400000;
    // Data bytes of a row: the columns d0 .. d7 that are not NULL.
    const LENGTH = '((d0 IS NOT NULL) + (d1 IS NOT NULL) + (d2 IS NOT NULL) + (d3 IS NOT NULL)'
                 . ' + (d4 IS NOT NULL) + (d5 IS NOT NULL) + (d6 IS NOT NULL) + (d7 IS NOT NULL))';
    // Frames read one by one for a series before it is reduced to buckets.
    const MAX_POINTS = 2000;
    // Frames of one identifier a series reads at most; beyond, it samples
    // SAMPLES buckets.
    const MAX_READ = 20000;
    const SAMPLES = 300;
    // Frames of one identifier read for its list of Elster indexes.
    const ELSTER_SCAN = 20000;
    // Frames per identifier read for the cycle times of the table.
    const CYCLE_FRAMES = 101;

    private PDO $mDb;
    private bool $mHasSource;
    private bool $mHasSummary;
    private bool $mHasHours;
    private ?string $mSource = null;   // null: every board
    private $mLastId = 0;              // rows counted in the summary: id <= this

    public function __construct(PDO $db)
    {
        $this->mDb = $db;
        // The columns the user may read; a table or column without the
        // privilege counts as missing.
        $columns = $this->rows("SELECT TABLE_NAME, COLUMN_NAME FROM information_schema.COLUMNS
                                WHERE TABLE_SCHEMA = DATABASE()
                                  AND TABLE_NAME IN ('can_log', 'can_log_minute', 'can_log_hour',
                                                     'can_log_summary_state')");
        $names = [];
        foreach ($columns as $c)
            $names[$c['TABLE_NAME'] . '.' . $c['COLUMN_NAME']] = true;
        if (!isset($names['can_log.timestamp']))
            throw new RuntimeException('table can_log not found or not readable');
        $this->mHasSource = isset($names['can_log.source']);
        $this->mHasSummary = $this->mHasSource && isset($names['can_log_minute.last_ts'])
            && isset($names['can_log_summary_state.last_id']);
        // (a summary made by an earlier version has no hours)
        $this->mHasHours = isset($names['can_log_hour.last_ts']);
        $this->mDb->exec('START TRANSACTION WITH CONSISTENT SNAPSHOT');
        if ($this->mHasSummary) {
            $state = $this->rows('SELECT last_id FROM can_log_summary_state WHERE one = 1');
            if ($state)
                $this->mLastId = self::num($state[0]['last_id']);
            else
                $this->mHasSummary = false;
        }
    }

    public function hasSource(): bool { return $this->mHasSource; }
    public function hasSummary(): bool { return $this->mHasSummary; }

    // Only the rows of one board from now on (a table without the source
    // column has none: the caller checks hasSource first).
    public function setSource(?string $source): void { $this->mSource = $source; }

    // Oldest and newest frame of the table: [first, last], null when empty.
    // Rows whose time no receive time can have (before 2000, or more than a
    // day ahead of this server's clock: stored by a board with a wrong clock
    // before the receiver refused them) are left out.
    public function extent(): array
    {
        $now = floor(microtime(true) * 1000);
        $r = $this->rows('SELECT (SELECT MIN(`timestamp`) FROM can_log WHERE `timestamp` >= ?) AS first,
                                 (SELECT MAX(`timestamp`) FROM can_log WHERE `timestamp` <= ?) AS last',
                         [self::EARLIEST, $now + self::AHEAD]);
        return [self::num($r[0]['first']), self::num($r[0]['last'])];
    }

    // The boards with frames in [from, to), sorted.
    public function sources($from, $to): array
    {
        $names = [];
        foreach ($this->parts($from, $to) as $part) {
            $kind = $part[0];
            $sql = isset(self::LEVELS[$kind])
                ? 'SELECT DISTINCT source FROM ' . self::summaryRange($kind)
                : 'SELECT DISTINCT source FROM can_log WHERE ' . $this->frameRange($kind);
            foreach ($this->rows($sql, $this->rangeParams($part)) as $r)
                $names[$r['source']] = true;
        }
        $names = array_keys($names);
        $names = array_map('strval', $names);
        sort($names, SORT_STRING);
        return $names;
    }

    // One page of the identifiers with frames in [from, to) (or $canId
    // alone): 'ids', at most $limit entries from $offset on, ordered by
    // can_id, or by frames (busiest first, then can_id) with $byFrames:
    // can_id, frames, first, last, data (hex of the last frame). With
    // $detail also bytes (data bytes of all its frames), prev (hex of the
    // frame before the last in the range, "" when none), cycle_min and
    // cycle_max (ms, over its last frames; null with fewer than two).
    // And of the whole range: 'count' (identifiers), 'frames', 'bits'
    // (bits on the bus without stuff bits), 'first' and 'last' (null when
    // it holds no frame).
    public function ids($from, $to, bool $detail, ?int $canId = null, int $limit = 1000, int $offset = 0,
                        bool $byFrames = false): array
    {
        [$grouped, $params] = $this->perIdentifier($from, $to, $canId);
        $order = $byFrames ? 'frames DESC, can_id' : 'can_id';
        $rows = $this->rows("SELECT * FROM ($grouped) AS g ORDER BY $order LIMIT ? OFFSET ?",
                            array_merge($params, [$limit, $offset]), true);
        // The whole range in one more statement (window functions over the
        // page's statement took longer than both).
        $totals = $this->rows("SELECT COUNT(*) AS all_ids, SUM(frames) AS all_frames, SUM(bits) AS all_bits,
                                      MIN(first) AS all_first, MAX(last) AS all_last FROM ($grouped) AS g",
                              $params, true)[0];

        // The last frames of each identifier of the page, newest first,
        // through the key id_time read backwards: it holds (can_id,
        // timestamp, id), so frames of one time come newest first as well.
        // (Naming id in the ORDER BY made the server sort all the
        // identifier's frames of the range once the table is partitioned.)
        $recent = $this->mDb->prepare(
            'SELECT `timestamp`, d0, d1, d2, d3, d4, d5, d6, d7 FROM can_log
             WHERE can_id = ? AND `timestamp` >= ? AND `timestamp` < ?' . $this->sourceCondition() . '
             ORDER BY `timestamp` DESC LIMIT ' . ($detail ? self::CYCLE_FRAMES : 1));
        $out = [];
        foreach ($rows as $r) {
            $id = self::num($r['can_id']);
            $this->bind($recent, $this->withSource([$id, $from, $to]));
            $recent->execute();
            $frames = $recent->fetchAll(PDO::FETCH_NUM);
            $entry = ['can_id' => $id, 'frames' => self::num($r['frames']), 'first' => self::num($r['first']),
                      'last' => self::num($r['last']), 'data' => $frames ? self::hex($frames[0]) : ''];
            if ($detail) {
                $entry['bytes'] = self::num($r['bytes']);
                $entry['prev'] = count($frames) > 1 ? self::hex($frames[1]) : '';
                $min = null;
                $max = null;
                for ($i = 1; $i < count($frames); ++$i) {
                    $gap = self::num($frames[$i - 1][0]) - self::num($frames[$i][0]);
                    $min = $min === null ? $gap : min($min, $gap);
                    $max = $max === null ? $gap : max($max, $gap);
                }
                $entry['cycle_min'] = $min;
                $entry['cycle_max'] = $max;
            }
            $out[] = $entry;
        }
        return ['ids' => $out, 'count' => self::num($totals['all_ids']), 'frames' => self::num($totals['all_frames']) ?? 0,
                'bits' => self::num($totals['all_bits']) ?? 0, 'first' => self::num($totals['all_first']),
                'last' => self::num($totals['all_last'])];
    }

    // A statement of one row per identifier with frames in [from, to) (or
    // $canId alone): can_id, frames, bytes, first, last, bits; and its
    // parameters. The parts of the range are added up by the server.
    private function perIdentifier($from, $to, ?int $canId): array
    {
        $one = $canId === null ? '' : ' AND can_id = ?';
        $selects = [];
        $params = [];
        $ext = 'IF((can_id & 0x1FFFFFFF) > 0x7FF, 67, 47)';
        foreach ($this->parts($from, $to) as $part) {
            $kind = $part[0];
            $p = $this->rangeParams($part);
            if ($canId !== null)
                $p[] = $canId;
            $p = $this->withSource($p);
            if (isset(self::LEVELS[$kind])) {
                // Most ranges of a table whose summary lags hold none.
                $where = 'FROM ' . self::summaryRange($kind) . $one . $this->sourceCondition();
                if (!$this->rows("SELECT 1 AS x $where LIMIT 1", $p))
                    continue;
                $selects[] = "SELECT can_id, SUM(frames) AS frames, SUM(bytes) AS bytes, MIN(first_ts) AS first,
                                     MAX(last_ts) AS last,
                                     SUM(frames) * $ext + IF(can_id & 0x40000000, 0, 8 * SUM(bytes)) AS bits
                              $where GROUP BY can_id";
            } else {
                $selects[] = 'SELECT can_id, COUNT(*) AS frames, SUM(' . self::LENGTH . ') AS bytes,
                                     MIN(`timestamp`) AS first, MAX(`timestamp`) AS last,
                                     COUNT(*) * ' . $ext . ' + IF(can_id & 0x40000000, 0, 8 * SUM(' . self::LENGTH . ')) AS bits
                              FROM can_log WHERE ' . $this->frameRange($kind) . $one . $this->sourceCondition() . '
                              GROUP BY can_id';
            }
            $params = array_merge($params, $p);
        }
        if (count($selects) === 1)
            return [$selects[0], $params];
        $sql = 'SELECT can_id, SUM(frames) AS frames, SUM(bytes) AS bytes, MIN(first) AS first, MAX(last) AS last,
                       SUM(bits) AS bits FROM (' . implode(' UNION ALL ', $selects) . ') AS p GROUP BY can_id';
        return [$sql, $params];
    }

    // The identifiers with the most frames in [from, to), at most $top,
    // busiest first.
    private function busiest($from, $to, int $top): array
    {
        [$grouped, $params] = $this->perIdentifier($from, $to, null);
        $rows = $this->rows("SELECT can_id FROM ($grouped) AS g ORDER BY frames DESC, can_id LIMIT ?",
                            array_merge($params, [$top]), true);
        return array_map(fn($r) => self::num($r['can_id']), $rows);
    }

    // Frames per bucket of $width ms from $from up to $to: every bucket, 0
    // where none; [[bucket_start, frames], ...].
    public function rate($from, $to, $width, ?int $canId): array
    {
        $counts = [];
        foreach ($this->bucketRows($from, $to, $width, $canId, null) as $r)
            $counts[$r[0]] = ($counts[$r[0]] ?? 0) + $r[2];
        $out = [];
        $n = self::bucketCount($from, $to, $width);
        for ($i = 0; $i < $n; ++$i)
            $out[] = [$from + $i * $width, $counts[$i] ?? 0];
        return $out;
    }

    // Frames and data bytes per bucket and identifier, the buckets that have
    // frames only: [[bucket_start, can_id, frames, bytes], ...] ordered by
    // bucket and can_id (null last). Without $canId only the $top busiest
    // identifiers of the range have rows of their own; the others share one
    // per bucket, [bucket_start, null, frames, bytes, extended]: bytes of
    // their data frames (remote requests left out) and the frames with an
    // extended identifier among them.
    public function buckets($from, $to, $width, ?int $canId, int $top): array
    {
        $keep = $canId === null ? $this->busiest($from, $to, $top) : [$canId];
        $cells = [];
        foreach ($this->bucketRows($from, $to, $width, $canId, $keep) as [$bucket, $id, $frames, $bytes, $data, $ext]) {
            $key = $bucket . ':' . $id;
            if (!isset($cells[$key]))
                $cells[$key] = [$bucket, $id, 0, 0, 0];
            $cells[$key][2] += $frames;
            $cells[$key][3] += $id === null ? $data : $bytes;
            $cells[$key][4] += $ext;
        }
        usort($cells, fn($x, $y) => [$x[0], $x[1] === null, $x[1]] <=> [$y[0], $y[1] === null, $y[1]]);
        return array_map(fn($c) => $c[1] === null ? [$from + $c[0] * $width, null, $c[2], $c[3], $c[4]]
                                                  : [$from + $c[0] * $width, $c[1], $c[2], $c[3]], $cells);
    }

    // The bus's own errors: the error frames of [from, to) counted by
    // class per bucket of $width ms, the buckets that have any:
    // [[bucket_start, n per HEALTH_CLASSES ...], ...]. The classes as the
    // logger counts them per period: from the error class bits of the
    // identifier, the controller's states from data byte 1; a frame counts
    // once in each of its classes, and as "other" when in none.
    const HEALTH_CLASSES = ['bus-off', 'error-passive', 'error-warning', 'RX overflow', 'TX overflow',
                            'lost arbitration', 'protocol violation', 'no ACK', 'other'];

    public function health($from, $to, $width): array
    {
        $ctrl = '(can_id & 0x04 <> 0 AND IFNULL(d1, 0) & %d <> 0)';
        $classes = ['can_id & 0x40 <> 0', sprintf($ctrl, 0x30), sprintf($ctrl, 0x0C), sprintf($ctrl, 0x01),
                    sprintf($ctrl, 0x02), 'can_id & 0x02 <> 0', 'can_id & 0x08 <> 0', 'can_id & 0x20 <> 0',
                    'can_id & 0x6A = 0 AND NOT ' . sprintf($ctrl, 0x3F)];
        $sums = implode(', ', array_map(fn($c, $i) => "SUM($c) AS c$i", $classes, array_keys($classes)));
        // Error frames only, found through the key on (can_id, timestamp).
        $rows = $this->rows("SELECT (`timestamp` - ?) DIV ? AS bucket, $sums FROM can_log
                             WHERE can_id BETWEEN 0x20000000 AND 0x3FFFFFFF
                               AND `timestamp` >= ? AND `timestamp` < ?" . $this->sourceCondition() . '
                             GROUP BY bucket ORDER BY bucket', $this->withSource([$from, $width, $from, $to]));
        return array_map(function ($r) use ($from, $width, $classes) {
            $out = [$from + (int)$r['bucket'] * $width];
            foreach (array_keys($classes) as $i)
                $out[] = self::num($r["c$i"]);
            return $out;
        }, $rows);
    }

    // A value of identifier $canId over time: data byte $byte, or the
    // 16-bit number of bytes $byte and $byte + 1 ($width 2, big-endian
    // unless $little). Frames without that byte are left out.
    public function byteSeries(int $canId, $from, $to, int $byte, int $width, bool $little): array
    {
        $hi = 'd' . $byte;
        $value = $hi;
        if ($width === 2) {
            $lo = 'd' . ($byte + 1);
            $value = $little ? "($lo * 256 + $hi)" : "($hi * 256 + $lo)";
        }
        return $this->series($canId, $from, $to, $value, "$value IS NOT NULL", []);
    }

    // The values of one Elster parameter index sent by $canId: the 16-bit
    // value of every frame with that index that carries one (read requests,
    // message type 1, and the value 0x8000, "not supported", left out).
    public function elsterSeries(int $canId, $from, $to, int $index): array
    {
        return $this->series($canId, $from, $to, self::elsterValue(),
                             self::elsterCondition() . ' AND ' . self::elsterIndex() . ' = ?', [$index]);
    }

    // The Elster parameter indexes that $canId sent values for in its last
    // ELSTER_SCAN frames of [from, to): [[index, frames], ...] ordered by
    // index.
    public function elsterIndexes(int $canId, $from, $to): array
    {
        $index = self::elsterIndex();
        $rows = $this->rows("SELECT $index AS i, COUNT(*) AS n FROM (
                               SELECT d0, d1, d2, d3, d4, d5, d6, d7, can_id FROM can_log
                               WHERE can_id = ? AND `timestamp` >= ? AND `timestamp` < ?" . $this->sourceCondition() . '
                               ORDER BY `timestamp` DESC LIMIT ' . self::ELSTER_SCAN . ') AS recent
                             WHERE ' . self::elsterCondition() . ' GROUP BY i ORDER BY i',
                            $this->withSource([$canId, $from, $to]));
        return array_map(fn($r) => [self::num($r['i']), self::num($r['n'])], $rows);
    }

    // --- Elster telegrams: an 11-bit identifier, 5 to 7 data bytes; data
    // byte 2 is the parameter index, or 0xFA and the index in bytes 3 and 4;
    // the value follows the index (high byte first), and a frame of 5 or 6
    // bytes holds it in its last two.

    private static function elsterIndex(): string
    {
        return 'IF(d2 = 250, d3 * 256 + d4, d2)';
    }

    private static function elsterValue(): string
    {
        $len = self::LENGTH;
        return "CASE $len WHEN 5 THEN d3 * 256 + d4 WHEN 6 THEN d4 * 256 + d5
                ELSE IF(d2 = 250, d5 * 256 + d6, d3 * 256 + d4) END";
    }

    private static function elsterCondition(): string
    {
        $len = self::LENGTH;
        return "can_id < 2048 AND $len BETWEEN 5 AND 7 AND (d0 & 15) <> 1 AND NOT ($len = 5 AND d2 = 250)
                AND " . self::elsterValue() . ' <> 32768';
    }

    // --- Parts of a range and buckets

    // [from, to) cut into what is counted where: ['hours', first minute, end
    // minute] and ['minutes', first minute, end minute] from the summary (the
    // whole hours, with $hours, and the minutes around them); ['edges', from
    // ms, to ms, start ms, end ms] the rows of [from, to) outside those
    // minutes; ['new', start ms, end ms] the rows inside them that the
    // summary has not counted yet. Without the summary ['frames', from ms,
    // to ms], all rows. Each part reads only its own rows: a long range
    // whose summary is up to date costs its summary rows, not a pass over
    // all its frames.
    private function parts($from, $to, bool $hours = true): array
    {
        $a = (int)ceil($from / self::MINUTE);
        $b = (int)floor($to / self::MINUTE);
        if (!$this->mHasSummary || $a >= $b)
            return [['frames', $from, $to]];
        $parts = [['minutes', $a, $b]];
        $ha = intdiv($a + 59, 60);
        $hb = intdiv($b, 60);
        if ($hours && $this->mHasHours && $ha < $hb) {
            $parts = [['hours', $ha * 60, $hb * 60]];
            if ($a < $ha * 60)
                $parts[] = ['minutes', $a, $ha * 60];
            if ($hb * 60 < $b)
                $parts[] = ['minutes', $hb * 60, $b];
        }
        $parts[] = ['new', $a * self::MINUTE, $b * self::MINUTE];
        if ($from < $a * self::MINUTE || $to > $b * self::MINUTE)
            $parts[] = ['edges', $from, $to, $a * self::MINUTE, $b * self::MINUTE];
        return $parts;
    }

    private static function bucketCount($from, $to, $width): int
    {
        return (int)ceil(($to - $from) / $width);
    }

    // [bucket index, can_id, frames, bytes, data bytes, extended frames]
    // rows, possibly several for one bucket and identifier: per bucket alone
    // ($keep null, can_id null), or per bucket and identifier for those in
    // $keep and one null row for all others. Minutes (hours) of the summary
    // serve when the buckets begin on whole minutes (hours) and are whole
    // minutes (hours) long, so that none straddles two buckets.
    private function bucketRows($from, $to, $width, ?int $canId, ?array $keep): array
    {
        $aligned = fmod($from, self::MINUTE) == 0 && fmod($width, self::MINUTE) == 0;
        $hours = fmod($from, self::HOUR) == 0 && fmod($width, self::HOUR) == 0;
        $parts = $aligned ? $this->parts($from, $to, $hours) : [['frames', $from, $to]];
        $id = $canId === null ? '' : ' AND can_id = ?';
        if ($keep === null || $keep === [])
            $key = 'NULL';
        else
            $key = 'IF(can_id IN (' . implode(',', array_fill(0, count($keep), '?')) . '), can_id, NULL)';
        $out = [];
        foreach ($parts as $part) {
            $kind = $part[0];
            [$f, $n, $t, $table] = isset(self::LEVELS[$kind])
                ? ['frames', 'bytes', 'minute * 60000', self::summaryRange($kind)]
                : ['1', self::LENGTH, '`timestamp`', 'can_log WHERE ' . $this->frameRange($kind)];
            $sql = "SELECT ($t - ?) DIV ? AS bucket, $key AS k, SUM($f) AS frames, SUM($n) AS bytes,
                           SUM(IF(can_id & 0x40000000, 0, $n)) AS data,
                           SUM(IF((can_id & 0x1FFFFFFF) > 0x7FF, $f, 0)) AS ext
                    FROM $table$id" . $this->sourceCondition() . '
                    GROUP BY bucket, k';
            $params = array_merge([$from, $width], $keep ?? [], $this->rangeParams($part));
            if ($canId !== null)
                $params[] = $canId;
            foreach ($this->rows($sql, $this->withSource($params)) as $r)
                $out[] = [(int)$r['bucket'], self::num($r['k']), self::num($r['frames']), self::num($r['bytes']),
                          self::num($r['data']), self::num($r['ext'])];
        }
        return $out;
    }

    // [[t, min, max], ...] of a value expression over the frames of one
    // identifier: each frame (min = max) when there are at most MAX_POINTS,
    // else the smallest and largest value of equal time buckets (t their
    // start). An identifier with more than MAX_READ frames in the range is
    // sampled instead: the last frame of each of SAMPLES equal buckets that
    // has the value, min = max; one identifier's frames lie all over the
    // table, and reading them all would take seconds.
    private function series(int $canId, $from, $to, string $value, string $condition, array $extra): array
    {
        $range = 'FROM can_log WHERE can_id = ? AND `timestamp` >= ? AND `timestamp` < ?' . $this->sourceCondition();
        $params = $this->withSource([$canId, $from, $to]);
        // Counted in the index on (can_id, timestamp) alone, up to the
        // first frame beyond MAX_READ.
        $frames = self::num($this->rows("SELECT COUNT(*) AS n FROM (SELECT 1 $range LIMIT " . (self::MAX_READ + 1)
                                        . ') AS x', $params)[0]['n']);
        if ($frames > self::MAX_READ)
            return $this->sampledSeries($canId, $from, $to, $value, $condition, $extra);
        $where = "$range AND $condition";
        $params = array_merge($params, $extra);
        $count = self::num($this->rows("SELECT COUNT(*) AS n $where", $params)[0]['n']);
        if ($count <= self::MAX_POINTS) {
            $rows = $this->rows("SELECT `timestamp` AS t, $value AS v $where ORDER BY `timestamp`, id", $params);
            return array_map(fn($r) => [self::num($r['t']), self::num($r['v']), self::num($r['v'])], $rows);
        }
        $width = max(1, (int)ceil(($to - $from) / (self::MAX_POINTS / 2)));
        $rows = $this->rows("SELECT (`timestamp` - ?) DIV ? AS b, MIN($value) AS lo, MAX($value) AS hi
                             $where GROUP BY b ORDER BY b", array_merge([$from, $width], $params));
        return array_map(fn($r) => [$from + (int)$r['b'] * $width, self::num($r['lo']), self::num($r['hi'])], $rows);
    }

    private function sampledSeries(int $canId, $from, $to, string $value, string $condition, array $extra): array
    {
        // Newest first through the index on (can_id, timestamp): the scan
        // stops at the first frame with the value.
        $last = $this->mDb->prepare(
            "SELECT `timestamp` AS t, $value AS v FROM can_log
             WHERE can_id = ? AND `timestamp` >= ? AND `timestamp` < ?" . $this->sourceCondition() . "
               AND $condition ORDER BY `timestamp` DESC LIMIT 1");
        $width = max(1, (int)ceil(($to - $from) / self::SAMPLES));
        $out = [];
        for ($start = $from; $start < $to; $start += $width) {
            $this->bind($last, array_merge($this->withSource([$canId, $start, min($to, $start + $width)]), $extra));
            $last->execute();
            $r = $last->fetch(PDO::FETCH_ASSOC);
            $last->closeCursor();
            if ($r !== false)
                $out[] = [self::num($r['t']), self::num($r['v']), self::num($r['v'])];
        }
        return $out;
    }

    // --- Statements

    // The summary rows of an 'hours' or 'minutes' part: table and condition.
    private static function summaryRange(string $kind): string
    {
        return self::LEVELS[$kind] . ' WHERE minute >= ? AND minute < ?';
    }

    // The rows of a 'frames', 'edges' or 'new' part, and its parameters.
    // The new rows are found through the primary key from the summary's
    // last id on, or through the time when the summary lags far behind (the
    // server takes the smaller of the two ranges); the edges are two short
    // time ranges.
    private function frameRange(string $kind): string
    {
        if ($kind === 'new')
            return 'id > ? AND `timestamp` >= ? AND `timestamp` < ?';
        return '`timestamp` >= ? AND `timestamp` < ?'
            . ($kind === 'edges' ? ' AND (`timestamp` < ? OR `timestamp` >= ?)' : '');
    }

    private function rangeParams(array $part): array
    {
        if ($part[0] === 'new')
            return [$this->mLastId, $part[1], $part[2]];
        return $part[0] === 'edges' ? [$part[1], $part[2], $part[3], $part[4]] : [$part[1], $part[2]];
    }

    private function sourceCondition(): string
    {
        return $this->mSource === null ? '' : ' AND source = ?';
    }

    private function withSource(array $params): array
    {
        if ($this->mSource !== null)
            $params[] = $this->mSource;
        return $params;
    }

    private function bind(PDOStatement $st, array $params): void
    {
        foreach ($params as $i => $v)
            $st->bindValue($i + 1, is_float($v) ? sprintf('%.0f', $v) : $v,
                           is_int($v) ? PDO::PARAM_INT : PDO::PARAM_STR);
    }

    // With $inline the values are written into the statement (by PDO,
    // quoted) instead of sent apart: the server then plans a statement over
    // a grouped derived table as for the values at hand (a server-side
    // prepared one took ten times as long over many identifiers).
    private function rows(string $sql, array $params = [], bool $inline = false): array
    {
        $st = $this->mDb->prepare($sql, $inline ? [PDO::ATTR_EMULATE_PREPARES => true] : []);
        $this->bind($st, $params);
        $st->execute();
        return $st->fetchAll(PDO::FETCH_ASSOC);
    }

    // A number from the database (int, or a decimal text for SUM and for
    // integers beyond a 32-bit PHP's int), null stays null.
    private static function num($v)
    {
        return $v === null ? null : $v + 0;
    }

    // Upper-case hex of the data bytes of a row [timestamp, d0 .. d7].
    private static function hex(array $row): string
    {
        $text = '';
        for ($i = 1; $i <= 8 && $row[$i] !== null; ++$i)
            $text .= sprintf('%02X', $row[$i]);
        return $text;
    }
}
