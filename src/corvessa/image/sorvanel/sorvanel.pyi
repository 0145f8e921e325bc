# Type stubs of the native module corvessa.image.sorvanel.
import logging
from typing import Any, Dict, List, Literal, Optional, TypeAlias

import requests as requests
from dolvex import ErrorCode as ErrorCode, ServiceResult as ServiceResult

_AspectRatio: TypeAlias = Literal["1:1", "2:3", "3:2", "3:4", "4:3", "4:5", "5:4", "9:16", "16:9", "21:9"]
_GeminiModel: TypeAlias = Literal["gemini-3-pro-image-preview", "gemini-3.1-flash-image-preview", "gemini-2.5-flash-image"]

class SorvanelClient:
    base_url: str
    api_key: str
    model_tag: Any
    logger: logging.Logger | Any
    def __init__(self, base_url: str, api_key: str, **kwargs: Any) -> None: ...
    @staticmethod
    def _detect_mime_type(image_bytes: bytes) -> str: ...
    @staticmethod
    def _bytes_to_part(image_bytes: bytes, mime_type: str = "image/jpeg") -> Dict[str, Any]: ...
    def _build_parts(self, image_bytes_list: List[bytes], prompt: str) -> List[Dict[str, Any]]: ...
    def _build_body_data(
        self,
        prompt: str,
        image_bytes_list: Optional[List[bytes]] = None,
        aspect_ratio: Optional[str] = "2:3",
        image_size: Optional[str] = "1K",
    ) -> dict[str, Any]: ...
    @staticmethod
    def _extract_file_uris(data_dict: dict[str, Any]) -> tuple[list[Any], Any]: ...
    def generate_image(
        self,
        prompt: str,
        image_bytes_list: Optional[List[bytes]] = None,
        aspect_ratio: _AspectRatio | str = "2:3",
        image_size: Optional[str] = "1K",
        model: _GeminiModel | str = "gemini-3-pro-image-preview",
        **kwargs: Any,
    ) -> ServiceResult: ...
    def start(
        self,
        prompt: str,
        aspect_ratio: _AspectRatio | str = "2:3",
        image_size: str = "1K",
        files: str | bytes | List[str | bytes] | None = None,
        model: _GeminiModel | str = "gemini-3-pro-image-preview",
        **kwargs: Any,
    ) -> ServiceResult: ...
