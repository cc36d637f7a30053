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
// one of the configured header lines followed by ";" and every further line
// is an insert of exactly the form the logger writes (these columns in this
// order, decimal numbers in their ranges). Its rows are then stored with
// multi-row inserts in one transaction, each row with the name of the
// board whose header line came (column source), and the answer is "200 OK"
// with the text "stored <n> rows (<k> new, <d> already stored)". A row whose
// time cannot be a receive time (before 2000, or more than a day ahead of
// this server's clock: a board with a wrong clock) is not stored; the answer
// then adds "; <r> rows refused: time before 2000 or more than a day ahead",
// and the rest of the batch is stored all the same. A frame
// that is already in the table (the table's unique key frame) is left as it
// is, so a batch that the logger sends again, because the answer to its
// first delivery was lost, is stored once and answered 200 again.
//
// Anything else gets an error status and changes nothing: 403 another header
// line, 400 another line, 405 another method, 413 too large, 500 not
// configured, 503 the database is down or failed (the logger may send the
// batch again later).
//
// Settings: put_can_log.ini beside this file, or the file named by the
// environment variable TELLTRAIL_PUT_CONFIG (see put_can_log.ini.example):
// the header line of every board in the section [boards] (name = "header"),
// or one header line for all (header = "..."). A header line with a long
// random part works as the board's key: it is compared in constant time and
// never written into an answer or a log in full. Keep the file, which also
// holds the database password, out of the web server's document root.

const MAX_BODY = 1048576;   // a batch is at most about 500000 bytes
const ROWS_PER_STATEMENT = 1000;
const COLUMNS = ['counter', '`timestamp`', 'can_id', 'd0', 'd1', 'd2', 'd3', 'd4', 'd5', 'd6', 'd7'];
// A board's name goes into the column source, VARCHAR(64).
// The times a row may carry (ms since 1970 UTC): from 2000-01-01 to a day
// ahead of the server's clock.
const EARLIEST_TIME = '946684800000';
const AHEAD_MS = 86400000;
const BOARD_NAME = '/^[A-Za-z0-9][A-Za-z0-9._-]{0,63}$/D';
const SETTINGS = ['header', 'db_host', 'db_port', 'db_socket', 'db_name', 'db_user', 'db_password'];
// MariaDB's and MySQL's error numbers: an unknown column; a frame already
// stored (a duplicate key); a transaction undone by the server to end a
// deadlock.
const ER_BAD_FIELD_ERROR = 1054;
const ER_DUP_ENTRY = 1062;
const ER_LOCK_DEADLOCK = 1213;

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

function not_configured(string $why): void
{
    error_log("put_can_log: $why");
    answer(500, 'receiver not configured');
}

// The settings: the database's parameters and 'boards', the accepted header
// lines by board name ('' for the one header line of older settings, whose
// rows carry no board).
function load_config(): array
{
    $file = getenv('TELLTRAIL_PUT_CONFIG');
    if ($file === false || $file === '')
        $file = __DIR__ . '/put_can_log.ini';
    $ini = @parse_ini_file($file, true, INI_SCANNER_RAW);
    if ($ini === false) {
        $error = error_get_last();
        not_configured("settings file $file not readable" . ($error ? ': ' . $error['message'] : ''));
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
    $boards = [];
    foreach ($ini as $key => $value) {
        if ($key === 'boards' && is_array($value)) {
            $boards = $value;
        } elseif (is_array($value)) {
            not_configured("$file: unknown section [$key]");
        } elseif (array_key_exists($key, $config)) {
            $config[$key] = (string)$value;
        }
    }
    $config['boards'] = [];
    if ($config['header'] !== '')
        $config['boards'][''] = $config['header'];
    foreach ($boards as $name => $header) {
        $name = (string)$name;
        if (in_array($name, SETTINGS, true))
            not_configured("$file: $name is inside [boards]; the settings come before the section");
        if (!preg_match(BOARD_NAME, $name))
            not_configured("$file: board name \"$name\" refused (letters, digits, \".\", \"_\", \"-\", at most 64)");
        if (is_array($header) || (string)$header === '')
            not_configured("$file: board $name has no header line");
        $config['boards'][$name] = (string)$header;
    }
    if (count($config['boards']) === 0)
        not_configured("$file: neither header nor [boards]");
    if (count(array_unique($config['boards'])) !== count($config['boards']))
        not_configured("$file: two boards have the same header line");
    return $config;
}

// The name of the board whose header line $given is, or null. Every
// configured line is compared, each in a time that does not depend on where
// the texts differ or on their lengths, so the time of an answer does not
// tell how much of a guessed key was right.
function find_board(array $boards, string $given): ?string
{
    $givenHash = hash('sha256', $given, true);
    $found = null;
    foreach ($boards as $name => $header) {
        if (hash_equals(hash('sha256', $header, true), $givenHash))
            $found = (string)$name;
    }
    return $found;
}

// A short fingerprint of a header line for the server's log: enough to tell
// which board's line came (printf %s LINE | sha256sum), too little to use it.
function fingerprint(string $header): string
{
    return strlen($header) . ' characters, sha256 ' . substr(hash('sha256', $header), 0, 8) . '...';
}

// Whether a decimal text without sign or leading zeros is at most $max (also
// a decimal text). Compared as text: a 32-bit PHP has no 64-bit integers.
function at_most(string $digits, string $max): bool
{
    return strlen($digits) < strlen($max) || (strlen($digits) === strlen($max) && strcmp($digits, $max) <= 0);
}

// Whether the decimal text $digits lies in [$low, $high] (decimal texts).
function within(string $digits, string $low, string $high): bool
{
    return at_most($low, $digits) && at_most($digits, $high);
}

// One statement line: [timestamp, values] with the row's values as the text
// of an SQL row without its parentheses ("17,1796652309123,384,49,0,NULL,...":
// counter, timestamp, can_id, d0 .. d7, NULL for the data bytes the frame does
// not have), or null when the line is not an insert of the logger's form.
// Every value is a decimal number checked against its column's range here,
// so the text goes into the statement as it is (see store).
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
    return [$timestamp, "$counter,$timestamp,$canId$values" . str_repeat(',NULL', 8 - count($data))];
}

// The insert of $rows (texts of rows with their parentheses), $columns in
// every row. A frame that is already stored (same timestamp, counter, can_id
// and source: the table's unique key) is skipped with a warning and not
// counted as a new row; every other warning is looked for after the
// statement (see store), so IGNORE hides nothing else. It needs no privilege
// but INSERT.
function insert_statement(array $columns, array $rows): string
{
    return 'INSERT IGNORE INTO can_log (' . implode(',', $columns) . ') VALUES ' . implode(',', $rows);
}

// Ends the batch when the last insert had a warning other than the skipped
// frames' (a value the table did not take as it is: changed, or cut).
function check_warnings(PDO $db, int $skipped): void
{
    if ((int)$db->query('SELECT @@warning_count')->fetchColumn() <= $skipped)
        return;
    foreach ($db->query('SHOW WARNINGS')->fetchAll(PDO::FETCH_NUM) as [, $code, $message])
        if ((int)$code !== ER_DUP_ENTRY)
            throw new PDOException("table can_log refused a value: $code $message");
    throw new PDOException('table can_log refused a value');
}

function connect(array $config): PDO
{
    $dsn = 'mysql:dbname=' . $config['db_name'];
    if ($config['db_socket'] !== '') {
        $dsn .= ';unix_socket=' . $config['db_socket'];
    } else {
        $dsn .= ';host=' . $config['db_host'];
        if ($config['db_port'] !== '')
            $dsn .= ';port=' . $config['db_port'];
    }
    return new PDO($dsn, $config['db_user'], $config['db_password'], [
        PDO::ATTR_ERRMODE => PDO::ERRMODE_EXCEPTION,
        PDO::ATTR_EMULATE_PREPARES => false,
        PDO::MYSQL_ATTR_MULTI_STATEMENTS => false,
    ]);
}

// Whether the table has the column source: a table made by an older
// telltrail has not, and its rows are stored without their board.
function has_source_column(PDO $db): bool
{
    try {
        $db->prepare('INSERT INTO can_log (source) VALUES (?)');   // prepared only, never run
        return true;
    } catch (PDOException $e) {
        if (($e->errorInfo[1] ?? 0) === ER_BAD_FIELD_ERROR)
            return false;
        throw $e;
    }
}

// Stores the rows (parse_insert's value texts) in one transaction, each with
// $source when it is not null; the count of new rows. The values go into the
// statements as text, ROWS_PER_STATEMENT rows at a time: they are decimal
// numbers checked by parse_insert and a board name quoted by the server's
// own rules, and a text statement of many rows costs the database half the
// time of the same rows bound to a prepared statement.
function store(PDO $db, array $rows, ?string $source): int
{
    $columns = COLUMNS;
    $end = ')';
    if ($source !== null) {
        $columns[] = 'source';
        $end = ',' . $db->quote($source) . ')';
    }
    $new = 0;
    $db->beginTransaction();
    foreach (array_chunk($rows, ROWS_PER_STATEMENT) as $chunk) {
        foreach ($chunk as &$row)
            $row = '(' . $row . $end;
        unset($row);
        $inserted = $db->exec(insert_statement($columns, $chunk));
        check_warnings($db, count($chunk) - $inserted);
        $new += $inserted;
    }
    $db->commit();
    return $new;
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
$first = $lines[0] ?? '';
$board = substr($first, -1) === ';' ? find_board($config['boards'], substr($first, 0, -1)) : null;
if ($board === null) {
    error_log('put_can_log: header line not accepted from ' . ($_SERVER['REMOTE_ADDR'] ?? '?')
              . ' (' . fingerprint(rtrim($first, ';')) . ')');
    answer(403, 'header line not accepted');
}

$rows = [];
$latest = sprintf('%.0f', floor(microtime(true) * 1000) + AHEAD_MS);
$refused = 0;
for ($n = 1; $n < count($lines); ++$n) {
    $row = parse_insert($lines[$n]);
    if ($row === null)
        answer(400, 'line ' . ($n + 1) . ' refused: not an insert of the logger\'s form');
    if (within($row[0], EARLIEST_TIME, $latest))
        $rows[] = $row[1];
    else
        ++$refused;
}
if ($refused > 0)
    error_log("put_can_log: board \"$board\": $refused of " . (count($lines) - 1)
              . ' rows refused, time before 2000 or more than a day ahead of this server');

// Batches stored side by side may lock each other out (a deadlock); the
// server then undoes one of the transactions at once, which is tried again
// here. (A lock wait that times out is not tried again: it takes longer than
// the logger waits for its answer.)
$new = 0;
$withSource = true;
for ($attempt = 1; count($rows) > 0; ++$attempt) {
    try {
        $db = $db ?? connect($config);
        $withSource = has_source_column($db);
        $new = store($db, $rows, $withSource ? $board : null);
        break;
    } catch (PDOException $e) {
        // Whatever the statements did is undone: by the rollback, or by the
        // server when the connection is gone.
        try {
            if (isset($db) && $db->inTransaction())
                $db->rollBack();
        } catch (PDOException $ignored) {
        }
        if ($attempt < 3 && ($e->errorInfo[1] ?? 0) === ER_LOCK_DEADLOCK)
            continue;
        error_log('put_can_log: ' . $e->getMessage());
        header('Retry-After: 60');
        answer(503, 'database not available, nothing stored');
    }
}

$text = sprintf('stored %d rows (%d new, %d already stored)', count($rows), $new, count($rows) - $new);
if ($refused > 0)
    $text .= "; $refused rows refused: time before 2000 or more than a day ahead";
if ($board !== '' && !$withSource)
    $text .= '; board not recorded: can_log has no column source (can_log_upgrade.sql adds it)';
answer(200, $text);
