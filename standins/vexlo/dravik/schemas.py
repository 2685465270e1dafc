"""Records of the platform's dataset descriptions.

Members the platform adds later are ignored rather than refused, so a newer
platform does not break older clients; the identifying fields are required.
"""
from datetime import datetime
from typing import Optional

from pydantic import BaseModel, ConfigDict


class DatasetInfo(BaseModel):
    model_config = ConfigDict(extra="ignore")

    id: int
    name: str
    description: Optional[str] = None
    created_at: Optional[datetime] = None
    updated_at: Optional[datetime] = None
    latest_version_id: Optional[int] = None


class DatasetVersionInfo(BaseModel):
    model_config = ConfigDict(extra="ignore")

    id: int
    dataset_id: int
    version: Optional[int] = None
    description: Optional[str] = None
    created_at: Optional[datetime] = None
