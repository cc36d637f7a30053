<?php
// Settings of the web page and its API: an ini file with the database
// connection, named by the environment variable TELLTRAIL_WEB_CONFIG (a
// FastCGI parameter of the web server, or the environment of php -S), else
// /etc/telltrail-web/web.ini. Keys as in the PUT receiver's settings:
// db_socket (a Unix socket) or db_host and db_port, db_name, db_user,
// db_password. The user needs SELECT only.
//
// The page only reads, so it may read from a host of its own: db_read_host
// (and db_read_port) name a MariaDB replica, say, while the boards' rows go
// to the primary named by db_host. Unset, the page reads where the rows are
// written. One file may thus serve both the receiver and the page.

const TELLTRAIL_WEB_DEFAULT_CONFIG = '/etc/telltrail-web/web.ini';

// The settings, or null when the file is missing or not readable (the
// reason goes to the web server's error log, never to the browser).
function telltrail_settings(): ?array
{
    $file = getenv('TELLTRAIL_WEB_CONFIG');
    if ($file === false || $file === '')
        $file = TELLTRAIL_WEB_DEFAULT_CONFIG;
    $ini = is_readable($file) ? @parse_ini_file($file, false, INI_SCANNER_RAW) : false;
    if ($ini === false) {
        error_log("telltrail-web: settings file $file not readable");
        return null;
    }
    $settings = [
        'db_socket' => '',
        'db_host' => 'localhost',
        'db_port' => '',
        'db_read_host' => '',
        'db_read_port' => '',
        'db_name' => 'canlog',
        'db_user' => 'www-data',
        'db_password' => '',
        'chart_js_url' => '',
    ];
    foreach ($ini as $key => $value)
        if (array_key_exists($key, $settings))
            $settings[$key] = (string)$value;
    return $settings;
}

// A connection for reading only: real prepared statements, errors as
// exceptions, a read-only session whose statements may take at most 30 s.
function telltrail_connect(array $settings): PDO
{
    $dsn = 'mysql:dbname=' . $settings['db_name'] . ';charset=utf8mb4';
    if ($settings['db_read_host'] !== '') {
        $dsn .= ';host=' . $settings['db_read_host'];
        if ($settings['db_read_port'] !== '')
            $dsn .= ';port=' . $settings['db_read_port'];
    } elseif ($settings['db_socket'] !== '') {
        $dsn .= ';unix_socket=' . $settings['db_socket'];
    } else {
        $dsn .= ';host=' . $settings['db_host'];
        if ($settings['db_port'] !== '')
            $dsn .= ';port=' . $settings['db_port'];
    }
    $db = new PDO($dsn, $settings['db_user'], $settings['db_password'], [
        PDO::ATTR_ERRMODE => PDO::ERRMODE_EXCEPTION,
        PDO::ATTR_EMULATE_PREPARES => false,
        PDO::ATTR_STRINGIFY_FETCHES => false,
        PDO::ATTR_TIMEOUT => 5,
        PDO::MYSQL_ATTR_MULTI_STATEMENTS => false,
    ]);
    $db->exec('SET SESSION TRANSACTION READ ONLY');
    // Per-identifier counts of a busy range are grouped in memory, not on disk.
    $db->exec('SET SESSION tmp_table_size = 67108864, max_heap_table_size = 67108864');
    try {
        $db->exec('SET SESSION max_statement_time = 30');     // MariaDB
    } catch (PDOException $e) {
        $db->exec('SET SESSION max_execution_time = 30000');  // MySQL
    }
    return $db;
}
