<?php
// The JSON API of the web page, for scripts and other dashboards as well
// (packaging/web/README.md, "The JSON API"). GET api.php?q=<question>&...; times are ms since
// 1970 UTC, ranges [from, to). Every answer is JSON; a question that cannot
// be answered gets an error status and {"error": "<why>"}: 400 a parameter,
// 405 a method, 500 the settings or the database (details go to the web
// server's error log, never to the client).

require __DIR__ . '/lib/settings.php';
require __DIR__ . '/lib/KCanLog.php';

ini_set('display_errors', '0');
set_error_handler(function (int $level, string $message, string $file, int $line): bool {
    throw new ErrorException($message, 0, $level, $file, $line);
});

// A fatal error (memory or time used up) cannot be caught: the answer is
// then made here, when the script ends, still as JSON. The output so far is
// held back until the answer is complete, and some memory is kept for this.
ob_start();
$gReserve = str_repeat(' ', 65536);
register_shutdown_function(function (): void {
    global $gReserve;
    $gReserve = null;
    $e = error_get_last();
    if ($e === null || !($e['type'] & (E_ERROR | E_CORE_ERROR | E_COMPILE_ERROR | E_USER_ERROR | E_PARSE)))
        return;
    error_log('telltrail-web: ' . $e['message'] . ' in ' . $e['file'] . ':' . $e['line']);
    while (ob_get_level() > 0)
        ob_end_clean();
    if (headers_sent())
        return;
    header_remove();
    send_json(500, ['error' => 'the answer would take too much memory or time: ask for a shorter range']);
});

final class KBadRequest extends Exception
{
}

function send_json(int $status, $value): void
{
    http_response_code($status);
    header('Content-Type: application/json');
    header('Cache-Control: no-store');
    header('X-Content-Type-Options: nosniff');
    echo json_encode($value, JSON_UNESCAPED_SLASHES | JSON_UNESCAPED_UNICODE | JSON_INVALID_UTF8_SUBSTITUTE), "\n";
}

// The parameters each question takes; required ones first, marked '!'.
const QUESTIONS = [
    'info' => [],
    'sources' => ['!from', '!to'],
    'ids' => ['!from', '!to', 'can_id', 'source', 'detail', 'limit', 'offset', 'order'],
    'rate' => ['!from', '!to', '!step', 'can_id', 'source'],
    'buckets' => ['!from', '!to', '!step', 'can_id', 'source', 'top'],
    'health' => ['!from', '!to', '!step', 'source'],
    'bytes' => ['!can_id', '!from', '!to', '!byte', 'width', 'order', 'source'],
    'elster' => ['!can_id', '!from', '!to', '!index', 'source'],
    'elster_indexes' => ['!can_id', '!from', '!to', 'source'],
];
const MAX_BUCKETS = 10000;
// Identifiers of one answer of q=ids; cells (buckets times identifiers) of
// one answer of q=buckets.
const MAX_IDS = 1000;
const MAX_CELLS = 500000;
// Times: up to 15 digits, which a 32-bit PHP's float holds exactly too; a
// longer one (up to 19 digits, a 64-bit time) is taken as this.
const MAX_TIME = 999999999999999;

// An integer parameter in [min, max].
function int_param(array $p, string $name, $min, $max)
{
    $text = $p[$name];
    if (!preg_match('/^-?[0-9]{1,15}$/D', $text))
        throw new KBadRequest("$name must be an integer");
    $value = $text + 0;
    if ($value < $min || $value > $max)
        throw new KBadRequest("$name must be between $min and $max");
    return $value;
}

// The checked parameters of the request.
function read_params(array $query): array
{
    $q = $query['q'] ?? null;
    if (!is_string($q) || !array_key_exists($q, QUESTIONS))
        throw new KBadRequest('q must be one of ' . implode(', ', array_keys(QUESTIONS)));
    $names = ['q'];
    foreach (QUESTIONS[$q] as $name) {
        $required = $name[0] === '!';
        $name = ltrim($name, '!');
        $names[] = $name;
        if ($required && !isset($query[$name]))
            throw new KBadRequest("$name is missing");
    }
    // PHP keeps the last of a repeated parameter: refuse instead.
    $seen = [];
    foreach (explode('&', $_SERVER['QUERY_STRING'] ?? '') as $pair) {
        $name = urldecode(explode('=', $pair, 2)[0]);
        if ($name !== '' && isset($seen[$name]))
            throw new KBadRequest("$name must be given once");
        $seen[$name] = true;
    }
    foreach ($query as $name => $value) {
        if (!in_array((string)$name, $names, true))
            throw new KBadRequest("unknown parameter $name for q=$q");
        if (!is_string($value))
            throw new KBadRequest("$name must be given once");
    }
    $p = ['q' => $q];
    if (isset($query['from'])) {
        foreach (['from', 'to'] as $name)
            if (is_string($query[$name]) && preg_match('/^[0-9]{16,19}$/D', $query[$name]))
                $query[$name] = (string)MAX_TIME;
        $p['from'] = int_param($query, 'from', 0, MAX_TIME);
        $p['to'] = int_param($query, 'to', 1, MAX_TIME);
        if ($p['to'] <= $p['from'])
            throw new KBadRequest('to must be after from');
    }
    if (isset($query['step'])) {
        $step = int_param($query, 'step', 1, 100000000);
        $p['width'] = $step * 1000;
        if (ceil(($p['to'] - $p['from']) / $p['width']) > MAX_BUCKETS)
            throw new KBadRequest('too many buckets (at most ' . MAX_BUCKETS . '): use a larger step');
    }
    $p['can_id'] = isset($query['can_id']) ? int_param($query, 'can_id', 0, 4294967295) : null;
    $p['source'] = $query['source'] ?? null;
    if ($p['source'] !== null && (strlen($p['source']) > 64 || !preg_match('//u', $p['source'])))
        throw new KBadRequest('source must be a UTF-8 text of at most 64 bytes');
    $p['detail'] = isset($query['detail']) ? int_param($query, 'detail', 0, 1) === 1 : false;
    $p['width2'] = isset($query['width']) ? int_param($query, 'width', 1, 2) : 1;
    if (isset($query['byte']))
        $p['byte'] = int_param($query, 'byte', 0, 8 - $p['width2']);
    if ($q === 'ids') {
        $order = $query['order'] ?? 'can_id';
        if ($order !== 'can_id' && $order !== 'frames')
            throw new KBadRequest('order must be can_id or frames');
        $p['by_frames'] = $order === 'frames';
        $p['limit'] = isset($query['limit']) ? int_param($query, 'limit', 1, MAX_IDS) : MAX_IDS;
        $p['offset'] = isset($query['offset']) ? int_param($query, 'offset', 0, 4294967295) : 0;
    } else {
        $order = $query['order'] ?? 'be';
        if ($order !== 'be' && $order !== 'le')
            throw new KBadRequest('order must be be or le');
        $p['little'] = $order === 'le';
    }
    if ($q === 'buckets') {
        $p['top'] = isset($query['top']) ? int_param($query, 'top', 0, MAX_IDS) : 100;
        if (ceil(($p['to'] - $p['from']) / $p['width']) * ($p['top'] + 1) > MAX_CELLS)
            throw new KBadRequest('too many cells (buckets times top + 1 at most ' . MAX_CELLS
                                  . '): use a larger step or a smaller top');
    }
    if (isset($query['index']))
        $p['index'] = int_param($query, 'index', 0, 65535);
    return $p;
}

function answer(KCanLog $log, array $p)
{
    switch ($p['q']) {
    case 'info':
        [$first, $last] = $log->extent();
        return ['first' => $first, 'last' => $last, 'source_column' => $log->hasSource(),
                'summary' => $log->hasSummary()];
    case 'sources':
        return $log->hasSource() ? $log->sources($p['from'], $p['to']) : [];
    case 'ids':
        // One page of identifiers; the figures of the whole range in the
        // headers.
        $ids = $log->ids($p['from'], $p['to'], $p['detail'], $p['can_id'], $p['limit'], $p['offset'],
                         $p['by_frames']);
        header('X-Total-Count: ' . $ids['count']);
        header('X-Total-Frames: ' . $ids['frames']);
        header('X-Total-Bits: ' . $ids['bits']);
        header('X-First: ' . ($ids['first'] ?? ''));
        header('X-Last: ' . ($ids['last'] ?? ''));
        return $ids['ids'];
    case 'rate':
        return $log->rate($p['from'], $p['to'], $p['width'], $p['can_id']);
    case 'buckets':
        return $log->buckets($p['from'], $p['to'], $p['width'], $p['can_id'], $p['top']);
    case 'health':
        header('X-Classes: ' . implode(',', KCanLog::HEALTH_CLASSES));
        return $log->health($p['from'], $p['to'], $p['width']);
    case 'bytes':
        return $log->byteSeries($p['can_id'], $p['from'], $p['to'], $p['byte'], $p['width2'], $p['little']);
    case 'elster':
        return $log->elsterSeries($p['can_id'], $p['from'], $p['to'], $p['index']);
    case 'elster_indexes':
        return $log->elsterIndexes($p['can_id'], $p['from'], $p['to']);
    }
    return null;
}

try {
    $method = $_SERVER['REQUEST_METHOD'] ?? 'GET';
    if ($method !== 'GET' && $method !== 'HEAD') {
        header('Allow: GET, HEAD');
        send_json(405, ['error' => 'only GET is answered']);
        exit;
    }
    $params = read_params($_GET);
    $settings = telltrail_settings();
    if ($settings === null) {
        send_json(500, ['error' => 'web page not configured (settings file not readable)']);
        exit;
    }
    $log = new KCanLog(telltrail_connect($settings));
    if ($params['source'] !== null) {
        if (!$log->hasSource())
            throw new KBadRequest('this table has no source column (db/can_log_upgrade.sql adds it)');
        $log->setSource($params['source']);
    }
    send_json(200, answer($log, $params));
} catch (KBadRequest $e) {
    send_json(400, ['error' => $e->getMessage()]);
} catch (Throwable $e) {
    error_log('telltrail-web: ' . get_class($e) . ': ' . $e->getMessage());
    $why = $e instanceof PDOException ? 'database error'
         : ($e instanceof RuntimeException ? $e->getMessage() : 'internal error');
    send_json(500, ['error' => $why]);
}
