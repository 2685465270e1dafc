"""Pipeline records of the core library, as the server side sees them."""
from enum import Enum
from typing import Any, Dict, List, Optional

from pydantic import BaseModel, Field, field_validator

from . import VexloComponentStatus, VexloDiskcacheStatus


class VexloComponentMetadataModel(BaseModel):
    description: str = ""
    tags: List[str] = Field(default_factory=list)

    def dict(self, **kwargs: Any) -> Dict[str, Any]:  # the 1.x name callers still use
        return self.model_dump(**kwargs)


class VexloComponentOutputsSummaryModel(BaseModel):
    outputs: List[str] = Field(default_factory=list)


class VexloCapturedModel(BaseModel):
    name: str = ""
    type_name: str = ""


class VexloComponentModel(BaseModel):
    identifier: str
    name: str = ""
    code: str = ""
    metadata: VexloComponentMetadataModel = Field(default_factory=VexloComponentMetadataModel)
    diskcache_dir: Optional[str] = None
    # Statuses are stored as their text, never as enumeration members.
    execution_status: Optional[str] = VexloComponentStatus.INVALID.value
    diskcache_status: Optional[str] = VexloDiskcacheStatus.UNCACHED.value
    parents: List[Dict[str, Any]] = Field(default_factory=list)

    @field_validator("execution_status", "diskcache_status", mode="before")
    @classmethod
    def _plain_text(cls, value: Any) -> Any:
        return value.value if isinstance(value, Enum) else value


class VexloGraphModel(BaseModel):
    components: List[VexloComponentModel] = Field(default_factory=list)


class VexloPipelineModel(BaseModel):
    graph: VexloGraphModel = Field(default_factory=VexloGraphModel)
    diskcache_dir: Optional[str] = None
