"""The DAG change records: pydantic models defined by a native module at load."""
import json
import pickle
import subprocess
import sys
import textwrap
from typing import Dict, List, Optional

import pytest
from pydantic import ValidationError

from vexlo.server.misc.models import dag_patch
from vexlo.server.misc.models.dag_patch import (
    VexloComponentUpdateModel,
    VexloDagPatchComponentModel,
    VexloDagPatchModel,
)
from vexlo_core.misc import VexloComponentStatus, VexloDiskcacheStatus
from vexlo_core.misc.models import (
    VexloCapturedModel,
    VexloComponentMetadataModel,
    VexloComponentOutputsSummaryModel,
)

COMPONENT_KEYS = [
    "identifier",
    "name",
    "metadata",
    "execution_status",
    "diskcache_status",
    "diskcache_dir",
    "summary",
    "captured",
    "parent_ids",
]


def error_locations(excinfo):
    return {(e["loc"], e["type"]) for e in excinfo.value.errors()}


def test_classes_are_plain_models_of_this_module():
    docs = {
        VexloDagPatchComponentModel: "Component information in VexloDag patch.",
        VexloComponentUpdateModel: "Components update information in VexloDag.",
        VexloDagPatchModel: "Information of VexloDag patch based on component information change",
    }
    for cls, doc in docs.items():
        assert cls.__bases__ == (dag_patch.BaseModel,)
        assert cls.__doc__ == doc
        assert cls.model_json_schema()["description"] == doc
        assert (cls.__module__, cls.__qualname__) == (dag_patch.__name__, cls.__name__)

    declared = {name: f.annotation for name, f in VexloDagPatchComponentModel.model_fields.items()}
    assert list(declared) == COMPONENT_KEYS
    assert declared == {
        "identifier": str,
        "name": str,
        "metadata": VexloComponentMetadataModel,
        "execution_status": str,
        "diskcache_status": str,
        "diskcache_dir": Optional[str],
        "summary": VexloComponentOutputsSummaryModel,
        "captured": List[VexloCapturedModel],
        "parent_ids": List[str],
    }
    update = {name: f.annotation for name, f in VexloComponentUpdateModel.model_fields.items()}
    assert update == {
        "added": Dict[str, VexloDagPatchComponentModel],
        "revised": Dict[str, VexloDagPatchComponentModel],
        "deleted": List[str],
    }
    assert list(update) == ["added", "revised", "deleted"]
    patch = {name: f.annotation for name, f in VexloDagPatchModel.model_fields.items()}
    assert patch == {"identifier": str, "updated_components": VexloComponentUpdateModel}
    assert list(patch) == ["identifier", "updated_components"]


def test_component_defaults():
    record = VexloDagPatchComponentModel(identifier="c1", name="load")
    assert record.execution_status == VexloComponentStatus.INVALID.value
    assert record.diskcache_status == VexloDiskcacheStatus.UNCACHED.value
    # Plain text, like a validated value, so exact-text consumers accept it.
    assert type(record.execution_status) is str and type(record.diskcache_status) is str
    assert record.diskcache_dir is None
    assert record.captured == [] and record.parent_ids == []
    assert record.metadata == VexloComponentMetadataModel()
    assert record.summary == VexloComponentOutputsSummaryModel()

    assert list(record.model_dump()) == COMPONENT_KEYS
    written = json.loads(record.model_dump_json(), object_pairs_hook=list)
    assert [key for key, _ in written] == COMPONENT_KEYS
    assert json.loads(record.model_dump_json()) == {
        "identifier": "c1",
        "name": "load",
        "metadata": VexloComponentMetadataModel().model_dump(),
        "execution_status": VexloComponentStatus.INVALID.value,
        "diskcache_status": VexloDiskcacheStatus.UNCACHED.value,
        "diskcache_dir": None,
        "summary": VexloComponentOutputsSummaryModel().model_dump(),
        "captured": [],
        "parent_ids": [],
    }


def test_status_given_as_member_is_stored_as_text():
    record = VexloDagPatchComponentModel(
        identifier="c1",
        name="load",
        execution_status=VexloComponentStatus.SUCCESSFUL,
        diskcache_status=VexloDiskcacheStatus.CACHED,
    )
    assert type(record.execution_status) is str and record.execution_status == "successful"
    assert type(record.diskcache_status) is str and record.diskcache_status == "cached"


def test_empty_update_and_patch_serialise_in_declaration_order():
    assert json.loads(VexloComponentUpdateModel().model_dump_json()) == {
        "added": {},
        "revised": {},
        "deleted": [],
    }
    patch = VexloDagPatchModel(identifier="dag")
    text = patch.model_dump_json()
    # Key order as written, not just as a dict compares (empty objects read as []).
    assert json.loads(text, object_pairs_hook=list) == [
        ("identifier", "dag"),
        ("updated_components", [("added", []), ("revised", []), ("deleted", [])]),
    ]
    assert json.loads(text) == {
        "identifier": "dag",
        "updated_components": {"added": {}, "revised": {}, "deleted": []},
    }
    assert list(patch.model_dump()) == ["identifier", "updated_components"]


def test_defaults_are_never_shared():
    first = VexloDagPatchComponentModel(identifier="a", name="a")
    first.parent_ids.append("p")
    first.captured.append(VexloCapturedModel(name="df"))
    first.metadata.tags.append("t")
    first.metadata.description = "changed"
    first.summary.outputs.append("out")

    second = VexloDagPatchComponentModel(identifier="b", name="b")
    assert second.parent_ids == [] and second.captured == []
    assert second.metadata == VexloComponentMetadataModel()
    assert second.summary == VexloComponentOutputsSummaryModel()
    assert second.metadata is not first.metadata and second.summary is not first.summary

    one = VexloDagPatchModel(identifier="x")
    one.updated_components.added["a"] = first
    one.updated_components.revised["a"] = first
    one.updated_components.deleted.append("z")
    other = VexloDagPatchModel(identifier="y")
    assert other.updated_components is not one.updated_components
    assert other.updated_components.model_dump() == {"added": {}, "revised": {}, "deleted": []}
    assert VexloComponentUpdateModel().model_dump() == {"added": {}, "revised": {}, "deleted": []}


def test_required_fields_and_wrong_types_are_refused():
    with pytest.raises(ValidationError) as excinfo:
        VexloDagPatchComponentModel()
    assert error_locations(excinfo) == {(("identifier",), "missing"), (("name",), "missing")}

    with pytest.raises(ValidationError) as excinfo:
        VexloDagPatchModel()
    assert error_locations(excinfo) == {(("identifier",), "missing")}

    with pytest.raises(ValidationError) as excinfo:
        VexloDagPatchComponentModel(identifier=5, name="n", parent_ids="p", diskcache_dir=[])
    assert {loc for loc, _ in error_locations(excinfo)} == {
        ("identifier",),
        ("parent_ids",),
        ("diskcache_dir",),
    }

    # A nested record's own failure fails the enclosing record, located by path.
    with pytest.raises(ValidationError) as excinfo:
        VexloDagPatchModel.model_validate(
            {"identifier": "d", "updated_components": {"revised": {"c": {"identifier": "c"}}}}
        )
    assert error_locations(excinfo) == {(("updated_components", "revised", "c", "name"), "missing")}


def test_extra_keys_are_ignored_at_every_level():
    record = VexloDagPatchComponentModel.model_validate(
        {"identifier": "c", "name": "n", "colour": "red"}
    )
    assert "colour" not in record.model_dump() and not hasattr(record, "colour")

    patch = VexloDagPatchModel(
        identifier="d",
        extra=1,
        updated_components={
            "deleted": ["c"],
            "moved": {},
            "added": {"c": {"identifier": "c", "name": "n", "x": 0}},
        },
    )
    assert patch.model_dump() == {
        "identifier": "d",
        "updated_components": {
            "added": {"c": record.model_dump()},
            "revised": {},
            "deleted": ["c"],
        },
    }


def test_nested_validation_from_parsed_json():
    text = json.dumps(
        {
            "identifier": "dag-1",
            "updated_components": {
                "added": {
                    "c1": {
                        "identifier": "c1",
                        "name": "train",
                        "metadata": {"description": "fit", "tags": ["ml"]},
                        "execution_status": "successful",
                        "diskcache_status": "cached",
                        "diskcache_dir": "/tmp/c1",
                        "summary": {"outputs": ["model"]},
                        "captured": [{"name": "model", "type_name": "Booster"}],
                        "parent_ids": ["c0"],
                    }
                },
                "deleted": ["c9"],
            },
        }
    )
    patch = VexloDagPatchModel.model_validate(json.loads(text))
    added = patch.updated_components.added["c1"]
    assert isinstance(patch.updated_components, VexloComponentUpdateModel)
    assert isinstance(added, VexloDagPatchComponentModel)
    assert added.metadata == VexloComponentMetadataModel(description="fit", tags=["ml"])
    assert added.summary == VexloComponentOutputsSummaryModel(outputs=["model"])
    assert added.captured == [VexloCapturedModel(name="model", type_name="Booster")]
    assert (added.diskcache_dir, added.parent_ids) == ("/tmp/c1", ["c0"])
    assert patch.updated_components.revised == {} and patch.updated_components.deleted == ["c9"]

    # The JSON form round-trips, through text as through the parsed mapping.
    assert VexloDagPatchModel.model_validate_json(patch.model_dump_json()) == patch
    assert VexloDagPatchModel.model_validate_json(text) == patch


def test_fields_are_writable_and_records_pickle():
    record = VexloDagPatchComponentModel(identifier="c", name="n")
    record.name = "renamed"
    record.diskcache_dir = "/cache"
    assert record.model_dump()["name"] == "renamed"
    assert record.model_dump()["diskcache_dir"] == "/cache"

    patch = VexloDagPatchModel(identifier="d", updated_components={"added": {"c": record}})
    restored = pickle.loads(pickle.dumps(patch))
    assert restored == patch and type(restored) is VexloDagPatchModel


# What the module binds at load, in the order it binds them.
BOUND = [
    ("typing", "Dict"),
    ("typing", "List"),
    ("typing", "Optional"),
    ("vexlo_core.misc", "VexloComponentStatus"),
    ("vexlo_core.misc", "VexloDiskcacheStatus"),
    ("vexlo_core.misc.models", "VexloCapturedModel"),
    ("vexlo_core.misc.models", "VexloComponentMetadataModel"),
    ("vexlo_core.misc.models", "VexloComponentOutputsSummaryModel"),
    ("pydantic", "BaseModel"),
    ("pydantic", "Field"),
    ("copy", "deepcopy"),
]

LOAD_SCRIPT = """
import importlib, json, sys, types
missing = {missing!r}
bound = {bound!r}
for module in {{m for m, _ in bound}}:
    importlib.import_module(module)
for module in {{m for m, n in bound if (m, n) in missing}}:
    # A stand-in with the real module's contents less the missing names; no
    # module __getattr__, which could supply them lazily.
    real = sys.modules[module]
    stand_in = types.ModuleType(module)
    stand_in.__dict__.update({{k: v for k, v in vars(real).items() if k != "__getattr__"}})
    for m, name in bound:
        if m == module:
            if (m, name) in missing:
                stand_in.__dict__.pop(name, None)
            else:
                setattr(stand_in, name, getattr(real, name))
    sys.modules[module] = stand_in
{setup}
try:
    import vexlo.server.misc.models.dag_patch
    outcome = None
except ImportError as e:
    outcome = [type(e).__name__, str(e)]
print(json.dumps([outcome, "vexlo.server.misc.models.dag_patch" in sys.modules]))
"""


def load_without(missing=(), setup=""):
    code = LOAD_SCRIPT.format(missing=list(missing), bound=BOUND, setup=textwrap.dedent(setup))
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout.strip().splitlines()[-1])


@pytest.mark.parametrize("first", range(len(BOUND)), ids=[n for _, n in BOUND])
def test_load_fails_naming_the_first_missing_name(first):
    # Everything from `first` on is missing: the error names `first` only if
    # each name is bound before all those listed after it.
    outcome, loaded = load_without(BOUND[first:])
    assert outcome is not None, "the module loaded although names it needs are missing"
    kind, message = outcome
    module, name = BOUND[first]
    assert kind == "ImportError"
    assert f"'{name}'" in message and f"'{module}'" in message
    assert not loaded


def test_load_fails_when_a_dependency_module_is_missing():
    outcome, loaded = load_without(setup="sys.modules['vexlo_core.misc.models'] = None")
    assert outcome is not None and outcome[0] in ("ImportError", "ModuleNotFoundError")
    assert "vexlo_core.misc.models" in outcome[1]
    assert not loaded


def test_load_fails_when_a_core_default_record_cannot_be_built():
    setup = """
    import vexlo_core.misc.models as core
    from pydantic import BaseModel
    class NeedsValue(BaseModel):
        value: int
    core.VexloComponentOutputsSummaryModel = NeedsValue
    """
    script = LOAD_SCRIPT.format(missing=[], bound=BOUND, setup=textwrap.dedent(setup))
    proc = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    assert proc.returncode != 0 and "ValidationError" in proc.stderr
