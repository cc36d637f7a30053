<?php
// One simulated board for bench/put_fleet.sh: sends the PUT batches that
// telltrail sends from a saturated bus, to the receiver on HOST:80, for a
// number of seconds, and prints one line of results.
//
//   php put_fleet_board.php board HOST HEADER SECONDS SEED
//   php put_fleet_board.php summary FILE...      (the boards' result lines)
//
// What a board does, as the logger does it: a capture ring of 10240 frames
// fills at 9009 frames/s (eight-byte frames on a 1 Mbit/s bus); the sampling
// loop looks every 100 ms and drains the ring once it is more than three
// quarters full. A drain turns the frames into insert lines behind the
// header line; a batch is sent as soon as it passes 498999 characters, the
// rest at the end of the drain, each on a connection of its own, the next
// only after the answer. While a batch is on its way the ring goes on
// filling; frames that would overflow it are lost, as on the board: a
// receiver that answers too slowly shows as lost frames.
//
// Result line: batches, frames sent, frames lost, rows new (from the answers
// "stored <n> rows (<k> new, ...)"), answers other than 200, CPU seconds of
// this process, and the batch latencies in ms (connect to the answer's end).

const RATE = 9009;           // frames per second
const RING = 10240;          // frames in the capture ring
const WAKE = RING * 3 / 4;   // the loop drains once more than this are unread
const TRIGGER = 498999;      // a batch is sent once it passes this length
const STEP = 0.1;            // the loop's pause, s

// The request and answer as telltrail's client makes and reads them; the
// answer's status code and text, or [0, error] when the exchange failed.
function send_batch(string $host, string $body): array
{
    $socket = @stream_socket_client("tcp://$host:80", $errno, $error, 10);
    if ($socket === false)
        return [0, "connect: $error"];
    stream_set_timeout($socket, 30);
    $request = "PUT /put_can_log.php HTTP/1.1\r\nHost: $host\r\nContent-Length: "
             . (strlen($body) + 2) . "\r\n\r\n" . $body . "\r\n";
    for ($sent = 0; $sent < strlen($request); $sent += $n) {
        $n = @fwrite($socket, substr($request, $sent, 65536));
        if ($n === false || $n === 0) {
            fclose($socket);
            return [0, 'send failed'];
        }
    }
    $status = fgets($socket);
    $length = -1;
    $chunked = false;
    while (($line = fgets($socket)) !== false && rtrim($line) !== '') {
        if (stripos($line, 'Content-Length:') === 0)
            $length = (int)substr($line, 15);
        if (stripos($line, 'Transfer-Encoding: chunked') === 0)
            $chunked = true;
    }
    $text = '';
    if ($length >= 0) {
        $text = $length > 0 ? (string)stream_get_contents($socket, $length) : '';
    } elseif ($chunked) {
        while (($line = fgets($socket)) !== false && ($size = hexdec(trim($line))) > 0) {
            $text .= stream_get_contents($socket, $size);
            fgets($socket);
        }
    }
    fclose($socket);
    if ($status === false || !preg_match('/^HTTP\/1\.1 (\d{3})/', $status, $m))
        return [0, 'no answer'];
    return [(int)$m[1], $text];
}

function board(string $host, string $header, float $seconds, int $seed): void
{
    mt_srand($seed);
    // The frames' identifiers and data: a pool of line ends, each a frame
    // with eight data bytes.
    $tails = [];
    for ($i = 0; $i < 4096; ++$i) {
        $bytes = [];
        for ($b = 0; $b < 8; ++$b)
            $bytes[] = mt_rand(0, 255);
        $tails[] = ',' . mt_rand(1, 2047) . ',' . implode(',', $bytes) . ");\r\n";
    }
    $prefix = 'INSERT can_log(counter,timestamp,can_id,d0,d1,d2,d3,d4,d5,d6,d7) VALUES(';
    $head = "$header;\r\n";

    $start = microtime(true);
    $startMs = (int)($start * 1000);
    $read = 0;        // frames taken from the ring (or lost from it)
    $lost = 0;
    $batches = $sent = $new = $failed = 0;
    $latencies = [];
    $produced = fn () => (int)((microtime(true) - $start) * RATE);
    // Frames that the ring could no longer hold are lost.
    $overflow = function () use (&$read, &$lost, $produced) {
        $unread = $produced() - $read;
        if ($unread > RING) {
            $lost += $unread - RING;
            $read += $unread - RING;
        }
    };
    $send = function (string $batch, int $frames) use ($host, &$batches, &$sent, &$new, &$failed, &$latencies, $overflow) {
        $t = microtime(true);
        [$status, $text] = send_batch($host, $batch);
        $latencies[] = (microtime(true) - $t) * 1000;
        ++$batches;
        $sent += $frames;
        if ($status === 200 && preg_match('/^stored \d+ rows \((\d+) new/', $text, $m))
            $new += (int)$m[1];
        else
            ++$failed;
        $overflow();
    };

    while (microtime(true) - $start < $seconds) {
        while ($produced() - $read <= WAKE && microtime(true) - $start < $seconds)
            usleep((int)(STEP * 1e6));
        $overflow();
        // The drain: every unread frame, batches sent on the way.
        $batch = $head;
        $frames = 0;
        while (($end = $produced()) > $read && microtime(true) - $start < $seconds) {
            for (; $read < $end; ++$read) {
                $batch .= $prefix . $read . ',' . ($startMs + intdiv($read * 1000, RATE)) . $tails[$read & 4095];
                ++$frames;
                if (strlen($batch) > TRIGGER) {
                    $send($batch, $frames);
                    $batch = $head;
                    $frames = 0;
                    $end = min($end, $read + 1);   // look at the ring again
                }
            }
        }
        if ($frames > 0)
            $send($batch, $frames);
    }
    $usage = getrusage();
    $cpu = $usage['ru_utime.tv_sec'] + $usage['ru_utime.tv_usec'] / 1e6
         + $usage['ru_stime.tv_sec'] + $usage['ru_stime.tv_usec'] / 1e6;
    printf("%d %d %d %d %d %.2f %s\n", $batches, $sent, $lost, $new, $failed, $cpu,
           implode(',', array_map(fn ($l) => sprintf('%.1f', $l), $latencies)));
}

function percentile(array $sorted, float $p): float
{
    return $sorted[min(count($sorted) - 1, (int)floor($p * count($sorted)))];
}

// The boards' result lines added up: frames sent and lost, rows new,
// failed answers, CPU seconds, latency median, 95th percentile and largest,
// and the answers that took longer than telltrail waits (5 s: it would count
// the batch as not taken and send it again).
function summary(array $files): void
{
    $total = [0, 0, 0, 0, 0, 0.0];
    $latencies = [];
    foreach ($files as $file) {
        $fields = explode(' ', trim((string)file_get_contents($file)));
        if (count($fields) < 6) {
            fwrite(STDERR, "put_fleet_board: no result in $file\n");
            exit(1);
        }
        for ($i = 0; $i < 6; ++$i)
            $total[$i] += $fields[$i];
        if (($fields[6] ?? '') !== '')
            $latencies = array_merge($latencies, array_map('floatval', explode(',', $fields[6])));
    }
    sort($latencies);
    [$batches, $sent, $lost, $new, $failed, $cpu] = $total;
    printf("%d %d %d %d %d %.2f %.0f %.0f %.0f %d\n", $batches, $sent, $lost, $new, $failed, $cpu,
           $latencies ? percentile($latencies, 0.5) : 0, $latencies ? percentile($latencies, 0.95) : 0,
           $latencies ? end($latencies) : 0, count(array_filter($latencies, fn ($l) => $l > 5000)));
}

if (($argv[1] ?? '') === 'board' && $argc === 6)
    board($argv[2], $argv[3], (float)$argv[4], (int)$argv[5]);
elseif (($argv[1] ?? '') === 'summary' && $argc > 2)
    summary(array_slice($argv, 2));
else {
    fwrite(STDERR, "usage: put_fleet_board.php board HOST HEADER SECONDS SEED | summary FILE...\n");
    exit(2);
}
