"""The bill of materials (CycloneDX JSON) that scripts/release writes and
scripts/sign rewrites for the signed file: its one reader and writer. What
it holds comes from the release being checked, so every value read is
checked for its kind here (NotABom), not trusted to be what a release
writes."""
import json
from typing import Any

from .errors import NotABom

Json = dict[str, Any]


def read(data: bytes) -> Json:
    """DATA as a JSON object, with a key given twice refused (the first and
    the last would each be someone's reading)."""
    def pairs(items: list[tuple[str, Any]]) -> Json:
        if len({k for k, _ in items}) != len(items):
            raise NotABom("a key given twice")
        return dict(items)
    try:
        return _object(json.loads(data, object_pairs_hook=pairs))
    except ValueError:  # not JSON, or not UTF-8
        raise NotABom("not JSON") from None


def write(value: Json) -> bytes:
    return (json.dumps(value, indent=2) + "\n").encode()


def _object(value: object) -> Json:
    if not isinstance(value, dict):
        raise NotABom("not an object")
    return value


def _objects(value: object) -> list[Json]:
    if not isinstance(value, list):
        raise NotABom("not a list")
    return [_object(v) for v in value]


def _text(value: object) -> str:
    if not isinstance(value, str):
        raise NotABom("not a string")
    return value


def _field(value: Json, key: str) -> object:
    if key not in value:
        raise NotABom(f"no {key}")
    return value[key]


def launcher(bom: Json) -> Json:
    """The component the bill of materials is about: the launcher."""
    return _object(_field(_object(_field(bom, "metadata")), "component"))


def unsigned_names(bom: Json) -> str:
    """What the unsigned release's bill of materials names the build by:
    its hashes and its quenby:unsigned-sha256, each once, sorted, spaced."""
    component = launcher(bom)
    hashes = {_text(_field(h, "content")) for h in _objects(_field(component, "hashes"))}
    unsigned = {_text(_field(p, "value")) for p in _objects(_field(component, "properties"))
                if _field(p, "name") == "quenby:unsigned-sha256"}
    return " ".join(sorted(hashes | unsigned))


def signed_record(bom: Json) -> tuple[dict[object, object], object, list[object]]:
    """What a signed release's bill of materials records: its launcher's
    properties by name, its version, its launcher's hashes."""
    component = launcher(bom)
    properties: dict[object, object] = {}
    for p in _objects(_field(component, "properties")):
        name = _field(p, "name")
        if isinstance(name, (list, dict)):
            raise NotABom("a property name that is not a value")
        properties[name] = _field(p, "value")
    hashes = [_field(h, "content") for h in _objects(_field(component, "hashes"))]
    return properties, _field(bom, "version"), hashes


def signed_bom(bom: Json, digest: str, supplier: str, organisation: str, project: str = "Quenby launcher") -> Json:
    """The signed file's bill of materials: a new version of the unsigned
    one's (CycloneDX), same serial number, naming DIGEST; its supplier is
    SUPPLIER, else the certificate's ORGANISATION in place of the project."""
    component = bom["metadata"]["component"]
    component["hashes"] = [{"alg": "SHA-256", "content": digest}]
    component["properties"] = [p for p in component["properties"] if p["name"] != "quenby:signed-sha256"]
    component["properties"].append({"name": "quenby:signed-sha256", "value": digest})
    if supplier or (organisation and component["supplier"]["name"] == project):
        component["supplier"] = {"name": supplier or organisation}
        bom["metadata"]["authors"] = [{"name": supplier or organisation}]
    bom["version"] += 1
    return bom
