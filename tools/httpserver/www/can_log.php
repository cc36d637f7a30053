<?php
// GET /can_log.php?<variables>: one frame per request, as the logger's URL
// template sends it. The query string is appended as one line to
// data/can_log.txt; the answer is "ok".
require __DIR__ . '/../lib/answer.php';

$query = $_SERVER['QUERY_STRING'] ?? '';
if (!store('can_log.txt', $query . "\n")) {
  http_response_code(500);
  answer("not stored\n");
  return;
}
answer('ok');
