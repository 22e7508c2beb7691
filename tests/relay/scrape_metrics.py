"""Scrapes the relay's metrics the way a monitoring system would, and reads them with Prometheus'
own parser, so that the test does not judge the text with the code that wrote it.

    scrape_metrics.py scrape HOST PORT     GET /metrics; the answer and its parsed families
    scrape_metrics.py protocol HOST PORT   what the server answers to other requests
    scrape_metrics.py parse                parses the text on standard input

Prints one JSON object. Sample values are written as text (repr), since JSON has no NaN.
"""
import http.client
import json
import socket
import sys

from prometheus_client.parser import text_string_to_metric_families


def families(text):
    out = []
    for family in text_string_to_metric_families(text):
        out.append({
            "name": family.name,
            "type": family.type,
            "samples": [{"name": s.name, "labels": dict(s.labels), "value": repr(float(s.value))}
                        for s in family.samples],
        })
    return out


def parsed(text):
    try:
        return {"families": families(text)}
    except Exception as e:  # the parser's verdict is what the test wants to see
        return {"parse_error": "%s: %s" % (type(e).__name__, e)}


def request(host, port, method, path, body=None, headers=None):
    conn = http.client.HTTPConnection(host, port, timeout=20)
    try:
        conn.request(method, path, body=body, headers=headers or {})
        resp = conn.getresponse()
        data = resp.read()
        return {"status": resp.status, "headers": {k.lower(): v for k, v in resp.getheaders()},
                "body": data.decode("utf-8", "replace")}
    finally:
        conn.close()


def scrape(host, port):
    result = request(host, port, "GET", "/metrics")
    result.update(parsed(result["body"]))
    return result


def raw(host, port, data):
    """Sends bytes, reads until the server closes; the whole answer."""
    with socket.create_connection((host, port), timeout=20) as s:
        s.sendall(data)
        chunks = []
        while True:
            chunk = s.recv(65536)
            if not chunk:
                break
            chunks.append(chunk)
    return b"".join(chunks).decode("utf-8", "replace")


def protocol(host, port):
    get = request(host, port, "GET", "/metrics?name[]=swnrelay_spool_entries&x")
    head = request(host, port, "HEAD", "/metrics")
    big = http.client.HTTPConnection(host, port, timeout=20)
    big.putrequest("GET", "/metrics")
    big.putheader("X-Filler", "f" * 9000)
    big.endheaders()
    big_resp = big.getresponse()
    big_resp.read()
    big.close()
    return {
        "get": {"status": get["status"], "type": get["headers"].get("content-type"),
                "length": get["headers"].get("content-length"), "body_bytes": len(get["body"].encode())},
        "head": {"status": head["status"], "length": head["headers"].get("content-length"),
                 "body_bytes": len(head["body"])},
        "not_found": request(host, port, "GET", "/")["status"],
        "post": request(host, port, "POST", "/metrics", body=b"x" * 3000),
        "put": request(host, port, "PUT", "/metrics", body=b"y")["status"],
        "too_large": big_resp.status,
        "http10": raw(host, port, b"GET /metrics HTTP/1.0\r\n\r\n"),
    }


def main():
    mode = sys.argv[1]
    if mode == "parse":
        result = parsed(sys.stdin.read())
    elif mode == "scrape":
        result = scrape(sys.argv[2], int(sys.argv[3]))
    else:
        result = protocol(sys.argv[2], int(sys.argv[3]))
    json.dump(result, sys.stdout)


if __name__ == "__main__":
    main()
