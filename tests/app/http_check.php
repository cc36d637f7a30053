<?php
// Checks what the test HTTP server (tools/httpserver) received from
// telltrail's HTTP outputs and turns the frames into table rows
// ("counter\ttimestamp\tcan_id\td0..d7", NULL for a missing byte, as
// candump-compare reads them).
//
//   php http_check.php put DATA_DIR HOST HEADER ROWS_FILE
//     every request "PUT /put_can_log.php HTTP/1.1" with Host HOST and a
//     Content-Length equal to its body; every body the line HEADER ";", then
//     insert statements, each line ended by CR LF, then the CR LF that ends
//     the request. Prints: <requests> <statements> <largest batch>
//     <batches longer than 498999 characters>
//   php http_check.php get DATA_DIR HOST ROWS_FILE
//     every request "GET /log.php?<variables> HTTP/1.1" with Host HOST, the
//     variables those of one frame. Prints: <requests>
//
// Exit status 1, with the reason on standard error, at the first fault.

function fault(string $why): void
{
    fwrite(STDERR, "http_check: $why\n");
    exit(1);
}

function row(string $counter, string $timestamp, string $canId, array $data): string
{
    return implode("\t", array_merge([$counter, $timestamp, $canId], $data,
                                     array_fill(0, 8 - count($data), 'NULL'))) . "\n";
}

// [request line, host, content length, body length] of every request.
function requests(string $dir): array
{
    $result = [];
    foreach (file("$dir/requests.txt", FILE_IGNORE_NEW_LINES) ?: [] as $n => $line) {
        $fields = explode("\t", $line);
        if (count($fields) !== 4)
            fault("requests.txt line " . ($n + 1) . ": $line");
        $result[] = $fields;
    }
    return $result;
}

function check_put(string $dir, string $host, string $header, string $rowsFile): void
{
    $all = file_get_contents("$dir/put_can_log.txt");
    if ($all === false)
        fault('no PUT body arrived');
    $rows = '';
    $offset = 0;
    $statements = 0;
    $largest = 0;
    $split = 0;
    $requests = requests($dir);
    foreach ($requests as $i => [$line, $requestHost, $contentLength, $bodyLength]) {
        $what = 'request ' . ($i + 1);
        if ($line !== 'PUT /put_can_log.php HTTP/1.1')
            fault("$what: request line \"$line\"");
        if ($requestHost !== $host)
            fault("$what: Host \"$requestHost\"");
        if ($contentLength !== $bodyLength)
            fault("$what: Content-Length $contentLength, body $bodyLength bytes");
        $body = substr($all, $offset, (int)$bodyLength);
        $offset += (int)$bodyLength;
        // The batch, and the CR LF that ends the request.
        if (substr($body, -2) !== "\r\n")
            fault("$what: body does not end in CR LF");
        $batch = substr($body, 0, -2);
        $largest = max($largest, strlen($batch));
        if (strlen($batch) > 498999)
            ++$split;
        $lines = explode("\r\n", $batch);
        if (array_pop($lines) !== '')
            fault("$what: last line of the batch not ended by CR LF");
        if (($lines[0] ?? null) !== "$header;")
            fault("$what: first line \"" . ($lines[0] ?? '') . "\"");
        if (count($lines) < 2)
            fault("$what: no statement");
        for ($n = 1; $n < count($lines); ++$n) {
            if (!preg_match('/^INSERT can_log\(counter,timestamp,can_id((?:,d[0-7])*)\) '
                            . 'VALUES\(([0-9]+),([0-9]+),([0-9]+)((?:,[0-9]+)*)\);$/D', $lines[$n], $m))
                fault("$what: line " . ($n + 1) . " \"{$lines[$n]}\"");
            $data = $m[5] === '' ? [] : explode(',', substr($m[5], 1));
            $columns = $m[1] === '' ? [] : explode(',', substr($m[1], 1));
            if ($columns !== array_map(fn($i) => "d$i", array_keys($data)))
                fault("$what: line " . ($n + 1) . ": data columns and values differ");
            $rows .= row($m[2], $m[3], $m[4], $data);
            ++$statements;
        }
    }
    if ($offset !== strlen($all))
        fault('the stored bodies and the recorded requests differ in length');
    file_put_contents($rowsFile, $rows);
    echo count($requests), " $statements $largest $split\n";
}

function check_get(string $dir, string $host, string $rowsFile): void
{
    $queries = file("$dir/log.txt", FILE_IGNORE_NEW_LINES) ?: [];
    $requests = requests($dir);
    if (count($queries) !== count($requests))
        fault(count($requests) . ' requests, ' . count($queries) . ' query strings');
    $rows = '';
    foreach ($requests as $i => [$line, $requestHost]) {
        $what = 'request ' . ($i + 1);
        if ($line !== "GET /log.php?{$queries[$i]} HTTP/1.1")
            fault("$what: request line \"$line\"");
        if ($requestHost !== $host)
            fault("$what: Host \"$requestHost\"");
        if (!preg_match('/^counter=([0-9]+)&timestamp=([0-9]+)&can_id=([0-9]+)((?:&d[0-7]=[0-9]+)*)$/D',
                        $queries[$i], $m))
            fault("$what: variables \"{$queries[$i]}\"");
        $data = [];
        foreach ($m[4] === '' ? [] : explode('&', substr($m[4], 1)) as $n => $pair) {
            [$name, $value] = explode('=', $pair);
            if ($name !== "d$n")
                fault("$what: variable $name in place of d$n");
            $data[] = $value;
        }
        $rows .= row($m[1], $m[2], $m[3], $data);
    }
    file_put_contents($rowsFile, $rows);
    echo count($requests), "\n";
}

[$self, $mode, $dir] = $argv + [null, null, null];
if ($mode === 'put' && $argc === 6)
    check_put($dir, $argv[3], $argv[4], $argv[5]);
elseif ($mode === 'get' && $argc === 5)
    check_get($dir, $argv[3], $argv[4]);
else
    fault('usage: http_check.php (put DIR HOST HEADER ROWS | get DIR HOST ROWS)');
