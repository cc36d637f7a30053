<?php
// GET /log.php?<variables>: one frame per request, as the logger's URL
// template sends it. The query string is appended as one line to
// data/log.txt, the request to data/requests.txt; the answer is "ok".
require __DIR__ . '/../lib/answer.php';

$query = $_SERVER['QUERY_STRING'] ?? '';
if (!store('log.txt', $query . "\n") || !record_request(0)) {
  http_response_code(500);
  answer("not stored\n");
  return;
}
answer('ok');
