<?php
// PUT /put_can_log.php: the logger's batch of insert statements. The body is
// appended to data/put_can_log.txt as received, the request to
// data/requests.txt; the answer names the body's size.
require __DIR__ . '/../lib/answer.php';

if ($_SERVER['REQUEST_METHOD'] !== 'PUT') {
  http_response_code(405);
  answer("PUT only\n");
  return;
}
$body = file_get_contents('php://input');
if ($body === false || !store('put_can_log.txt', $body) || !record_request(strlen($body))) {
  http_response_code(500);
  answer("not stored\n");
  return;
}
answer('stored ' . strlen($body) . ' bytes');
