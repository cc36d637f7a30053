<?php
// Chart.js from Debian's package libjs-chart.js, for servers without the
// /javascript/ alias of javascript-common (PHP's built-in server, php -S):
// the page loads it from here then. Answers 304 to a browser that has it.

const CHART_JS_DIR = '/usr/share/javascript/chart.js';
const CHART_JS_FILES = ['chart.umd.js', 'chart.min.js', 'Chart.min.js'];

$file = null;
foreach (CHART_JS_FILES as $name) {
    if (is_file(CHART_JS_DIR . "/$name")) {
        $file = CHART_JS_DIR . "/$name";
        break;
    }
}
if ($file === null) {
    http_response_code(404);
    header('Content-Type: text/plain');
    echo "Chart.js not found in " . CHART_JS_DIR . " (Debian package libjs-chart.js)\n";
    exit;
}
$stamp = filemtime($file);
$tag = '"' . dechex($stamp) . '-' . dechex(filesize($file)) . '"';
header('Content-Type: text/javascript; charset=utf-8');
header('Cache-Control: public, max-age=86400');
header('ETag: ' . $tag);
header('Last-Modified: ' . gmdate('D, d M Y H:i:s', $stamp) . ' GMT');
if (($_SERVER['HTTP_IF_NONE_MATCH'] ?? '') === $tag) {
    http_response_code(304);
    exit;
}
readfile($file);
