<?php
// put_can_log.php — receiver for telltrail's HTTP PUT batches, for a web
// server with PHP (php-fpm behind nginx or Apache) and a MariaDB or MySQL
// database with the table of can_log.sql.
//
// telltrail (settings key mysql_put) sends the frames of a sample period as
// the body of "PUT /put_can_log.php HTTP/1.1": a header line (the mysql_put
// value and ";"), then one insert statement per frame, every line ended by
// CR LF:
//
//   USE canlog;
//   INSERT can_log(counter,timestamp,can_id,d0,d1) VALUES(17,1796652309123,384,49,0);
//   ...
//
// The body is never executed as SQL. It is taken only when its first line is
// the configured header followed by ";" and every further line is an insert
// of exactly the form the logger writes (these columns in this order,
// decimal numbers in their ranges); its rows are then stored with prepared
// statements in one transaction, and the answer is "200 OK" with the text
// "stored <n> rows". Anything else gets an error status (403 another header,
// 400 another line, 405 another method, 413 too large, 500 not configured or
// the database failed) and changes nothing.
//
// Settings: put_can_log.ini beside this file, or the file named by the
// environment variable TELLTRAIL_PUT_CONFIG (see put_can_log.ini.example).
// Keep a file with a password out of the web server's document root, or
// deny access to it.

const MAX_BODY = 1048576;   // a batch is at most about 500000 bytes
const ROWS_PER_STATEMENT = 100;
const COLUMNS = ['counter', '`timestamp`', 'can_id', 'd0', 'd1', 'd2', 'd3', 'd4', 'd5', 'd6', 'd7'];

// Sends the status and the answer text and ends the script. PHP's built-in
// server (php -S) sends a body without length or chunks, which HTTP/1.1
// clients such as telltrail do not read; there the text is framed as one
// chunk here. Other servers frame it themselves.
function answer(int $status, string $text): void
{
    http_response_code($status);
    header('Content-Type: text/plain; charset=utf-8');
    $text .= "\n";
    if (PHP_SAPI === 'cli-server') {
        header('Transfer-Encoding: chunked');
        printf("%x\r\n%s\r\n0\r\n\r\n", strlen($text), $text);
    } else {
        echo $text;
    }
    exit;
}

function load_config(): array
{
    $file = getenv('TELLTRAIL_PUT_CONFIG');
    if ($file === false || $file === '')
        $file = __DIR__ . '/put_can_log.ini';
    $ini = @parse_ini_file($file, false, INI_SCANNER_RAW);
    if ($ini === false) {
        error_log("put_can_log: settings file $file not readable");
        answer(500, 'receiver not configured');
    }
    $config = [
        'header' => '',
        'db_host' => 'localhost',
        'db_port' => '',
        'db_socket' => '',
        'db_name' => 'canlog',
        'db_user' => 'pi',
        'db_password' => '',
    ];
    foreach ($ini as $key => $value)
        if (array_key_exists($key, $config))
            $config[$key] = (string)$value;
    if ($config['header'] === '') {
        error_log("put_can_log: no header in $file");
        answer(500, 'receiver not configured');
    }
    return $config;
}

// Whether a decimal text without sign or leading zeros is at most $max (also
// a decimal text). Compared as text: a 32-bit PHP has no 64-bit integers.
function at_most(string $digits, string $max): bool
{
    return strlen($digits) < strlen($max) || (strlen($digits) === strlen($max) && strcmp($digits, $max) <= 0);
}

// One statement line: [counter, timestamp, can_id, d0 .. d7] as texts (null
// for the data bytes the frame does not have), or null when the line is not
// an insert of the logger's form.
function parse_insert(string $line): ?array
{
    $number = '(0|[1-9][0-9]*)';
    $pattern = '/^INSERT can_log\(counter,timestamp,can_id((?:,d[0-7]){0,8})\) '
             . "VALUES\\($number,$number,$number((?:,$number){0,8})\\);\$/D";
    if (!preg_match($pattern, $line, $m))
        return null;
    [, $columns, $counter, $timestamp, $canId, $values] = $m;
    $columns = $columns === '' ? [] : explode(',', substr($columns, 1));
    $data = $values === '' ? [] : explode(',', substr($values, 1));
    if (count($columns) !== count($data))
        return null;
    foreach ($columns as $i => $column)
        if ($column !== "d$i")
            return null;   // the data columns come as d0, d1, ... in order
    if (!at_most($counter, '2147483647') || !at_most($canId, '2147483647')
        || !at_most($timestamp, '9223372036854775807'))
        return null;
    foreach ($data as $byte)
        if (!at_most($byte, '255'))
            return null;
    return array_merge([$counter, $timestamp, $canId], $data, array_fill(0, 8 - count($data), null));
}

// The insert of $count rows, with placeholders.
function insert_statement(PDO $db, int $count): PDOStatement
{
    $row = '(' . implode(',', array_fill(0, count(COLUMNS), '?')) . ')';
    return $db->prepare('INSERT INTO can_log (' . implode(',', COLUMNS) . ') VALUES '
                        . implode(',', array_fill(0, $count, $row)));
}

if (($_SERVER['REQUEST_METHOD'] ?? '') !== 'PUT') {
    header('Allow: PUT');
    answer(405, 'only PUT is accepted');
}

$config = load_config();

$body = file_get_contents('php://input', false, null, 0, MAX_BODY + 1);
if ($body === false)
    answer(400, 'body not readable');
if (strlen($body) > MAX_BODY)
    answer(413, 'body too large');

$lines = explode("\r\n", $body);
// The body ends in CR LF (two: the batch's own and the request's); empty
// lines are allowed only there.
while (count($lines) > 0 && end($lines) === '')
    array_pop($lines);
if (count($lines) === 0 || $lines[0] !== $config['header'] . ';')
    answer(403, 'header line not accepted');

$rows = [];
for ($n = 1; $n < count($lines); ++$n) {
    $row = parse_insert($lines[$n]);
    if ($row === null)
        answer(400, 'line ' . ($n + 1) . ' refused: not an insert of the logger\'s form');
    $rows[] = $row;
}

try {
    $dsn = 'mysql:dbname=' . $config['db_name'];
    if ($config['db_socket'] !== '') {
        $dsn .= ';unix_socket=' . $config['db_socket'];
    } else {
        $dsn .= ';host=' . $config['db_host'];
        if ($config['db_port'] !== '')
            $dsn .= ';port=' . $config['db_port'];
    }
    $db = new PDO($dsn, $config['db_user'], $config['db_password'], [
        PDO::ATTR_ERRMODE => PDO::ERRMODE_EXCEPTION,
        PDO::ATTR_EMULATE_PREPARES => false,
        PDO::MYSQL_ATTR_MULTI_STATEMENTS => false,
    ]);
    // Rows in statements of up to ROWS_PER_STATEMENT: a whole batch (some
    // 5000 rows) is stored well within the second the logger waits for the
    // answer.
    $full = null;
    $db->beginTransaction();
    foreach (array_chunk($rows, ROWS_PER_STATEMENT) as $chunk) {
        if (count($chunk) === ROWS_PER_STATEMENT)
            $insert = $full ?? ($full = insert_statement($db, ROWS_PER_STATEMENT));
        else
            $insert = insert_statement($db, count($chunk));
        $insert->execute(array_merge(...$chunk));
    }
    $db->commit();
} catch (PDOException $e) {
    if (isset($db) && $db->inTransaction())
        $db->rollBack();
    error_log('put_can_log: ' . $e->getMessage());
    answer(500, 'database error, nothing stored');
}

answer(200, 'stored ' . count($rows) . ' rows');
