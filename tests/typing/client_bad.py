# Each marked line is a mistake the stubs must let mypy catch.
import tarnwick

client = tarnwick.ZoDeruziDuzera()
sid = client.create_session(timeout_ms="5000")  # E: arg-type
resp = client.request(sid, "http://127.0.0.1/", "GET", headers={"Accept": "*/*"})  # E: arg-type
code: str = resp["status_code"]  # E: assignment
resp["reason"]  # E: typeddict-item
client.close(sid)  # E: attr-defined
tarnwick.__version__  # E: attr-defined


class Mine(tarnwick.ZoDeruziDuzera):  # E: misc
    pass
