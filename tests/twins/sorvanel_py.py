# mypy: ignore-errors
# (the annotations are the clients' own, stored as strings for introspection, not for checking)
"""Pure-Python SorvanelClient: the Gemini image client written in plain Python.

It exists to measure what the same client costs without native code, and to serve as a
differential oracle for the native `corvessa.image.sorvanel`: same module globals, same
signatures, defaults, string annotations and docstrings, same log records (keys in order),
same outside calls in the same order with the same keywords.
"""

import base64
import logging
import time
import traceback

import requests
from typing import Optional, List, Dict, Any

from dolvex import ServiceResult, ErrorCode
import ferrimo
from corvessa.config import http_client, _AspectRatio, _SUPPORTED_RATIOS, _GeminiModel, _SUPPORTED_MODELS

from ._common import _check_exact, _doc


class SorvanelClient(object):
    @_doc(
        "\n\n        Args:\n            base_url: API 服务地址\n            api_key: API 鉴权 Token\n"
        "            **kwargs:\n                model_tag: 模型标识标签，默认 SORVANEL\n"
        "                logger: 自定义日志器\n        "
    )
    def __init__(self, base_url: "str", api_key: "str", **kwargs):
        _check_exact("base_url", base_url, str)
        _check_exact("api_key", api_key, str)
        self.base_url = base_url
        self.api_key = api_key
        self.model_tag = kwargs.get("model_tag", "SORVANEL")
        self.logger = kwargs.get("logger", logging.getLogger(__name__))

    @staticmethod
    @_doc("根据图片字节头自动检测 MIME 类型")
    def _detect_mime_type(image_bytes: "bytes") -> "str":
        _check_exact("image_bytes", image_bytes, bytes)
        if image_bytes[:8] == b"\x89PNG\r\n\x1a\n":
            return "image/png"
        if image_bytes[:2] == b"\xff\xd8":
            return "image/jpeg"
        if image_bytes[:4] == b"GIF8":
            return "image/gif"
        if image_bytes[:4] == b"RIFF" and image_bytes[8:12] == b"WEBP":
            return "image/webp"
        return "image/jpeg"

    @staticmethod
    @_doc("\n        图片bytes转Gemini格式\n        ")
    def _bytes_to_part(image_bytes: "bytes", mime_type: "str" = "image/jpeg") -> "Dict[str, Any]":
        _check_exact("image_bytes", image_bytes, bytes)
        _check_exact("mime_type", mime_type, str)
        part = {}
        inline_data = {}
        inline_data["mimeType"] = mime_type
        inline_data["data"] = base64.b64encode(image_bytes).decode("utf-8")
        part["inlineData"] = inline_data
        return part

    @_doc("\n        构建 Gemini parts\n        ")
    def _build_parts(self, image_bytes_list: "List[bytes]", prompt: "str") -> "List[Dict[str, Any]]":
        _check_exact("image_bytes_list", image_bytes_list, list)
        _check_exact("prompt", prompt, str)
        parts = [{"text": prompt}]
        for image_bytes in image_bytes_list:
            mime_type = self._detect_mime_type(image_bytes)
            parts.append(self._bytes_to_part(image_bytes=image_bytes, mime_type=mime_type))
        return parts

    @_doc("构建 Gemini API 请求体")
    def _build_body_data(
        self,
        prompt: "str",
        image_bytes_list: "Optional[List[bytes]]" = None,
        aspect_ratio: "Optional[str]" = "2:3",
        image_size: "Optional[str]" = "1K",
    ) -> "dict":
        _check_exact("prompt", prompt, str)
        _check_exact("image_bytes_list", image_bytes_list, list, none_ok=True)
        _check_exact("aspect_ratio", aspect_ratio, str, none_ok=True)
        _check_exact("image_size", image_size, str, none_ok=True)
        if image_size:
            image_size = image_size.upper()
        body = {}
        content = {}
        content["role"] = "user"
        content["parts"] = self._build_parts(
            image_bytes_list=image_bytes_list if image_bytes_list is not None else [],
            prompt=prompt,
        )
        body["contents"] = [content]
        body["generationConfig"] = {"responseModalities": ["IMAGE"]}
        body["response_format"] = "url"
        image_config = {}
        if aspect_ratio:
            image_config["aspectRatio"] = aspect_ratio
        if image_size:
            image_config["imageSize"] = image_size
        if image_config:
            body["generationConfig"]["imageConfig"] = image_config
        return body

    @staticmethod
    @_doc(
        "\n        从 Gemini 响应中提取 fileUri 列表和 responseId。\n\n        Returns:\n"
        "            (image_urls, response_id)\n        "
    )
    def _extract_file_uris(data_dict: "dict") -> "tuple":
        _check_exact("data_dict", data_dict, dict)
        image_urls = []
        for candidate in data_dict.get("candidates", []):
            content = candidate.get("content", {})
            for part in content.get("parts", []):
                file_data = part.get("fileData")
                if file_data:
                    uri = file_data.get("fileUri")
                    if uri:
                        image_urls.append(uri)
        response_id = data_dict.get("responseId")
        return image_urls, response_id

    @_doc(
        "\n        调用 Gemini Image 生成图片\n\n        Returns:\n"
        "            ServiceResult: 成功时 data 为图像 bytes\n        "
    )
    def generate_image(
        self,
        prompt: "str",
        image_bytes_list: "Optional[List[bytes]]" = None,
        aspect_ratio: "_AspectRatio" = "2:3",
        image_size: "Optional[str]" = "1K",
        model: "_GeminiModel" = "gemini-3-pro-image-preview",
        **kwargs,
    ) -> "ServiceResult":
        _check_exact("prompt", prompt, str)
        _check_exact("image_bytes_list", image_bytes_list, list, none_ok=True)
        _check_exact("image_size", image_size, str, none_ok=True)
        if model not in _SUPPORTED_MODELS:
            return ServiceResult.fail(code=ErrorCode.INVALID_PARAMS, message=f"Invalid model: {model}")
        if aspect_ratio not in _SUPPORTED_RATIOS:
            return ServiceResult.fail(code=ErrorCode.INVALID_PARAMS, message=f"Invalid aspect_ratio: {aspect_ratio}")

        task_id = kwargs.pop("task_id", None)
        model_key = kwargs.pop("model_key", None)
        timeout = kwargs.get("timeout")
        if not timeout:
            timeout = http_client.base_timeout

        try:
            body = self._build_body_data(
                image_bytes_list=image_bytes_list,
                prompt=prompt,
                aspect_ratio=aspect_ratio,
                image_size=image_size,
            )
            headers = {"Authorization": f"Bearer {self.api_key}", "Content-Type": "application/json"}
            url = f"{self.base_url}/v1beta/models/{model}:generateContent"
            self.logger.debug(
                {
                    "msg": f"{self.model_tag} request api",
                    "task_id": task_id,
                    "model_key": model_key,
                    "model_name": model,
                    "img_count": len(image_bytes_list) if image_bytes_list else 0,
                    "url": url,
                    "aspect_ratio": aspect_ratio,
                    "image_size": image_size,
                }
            )
            start_time = time.time()
            response = http_client.post(url, headers=headers, json=body, timeout=timeout)
            status_code = response.status_code
            if status_code == 200:
                data_dict = response.json()
                self.logger.debug(
                    {
                        "msg": f"{self.model_tag} api complete successfully",
                        "task_id": task_id,
                        "model_key": model_key,
                        "second": round(time.time() - start_time, 3),
                    }
                )

                # A file reference wins over inline data; only the first one is fetched.
                image_urls, response_id = self._extract_file_uris(data_dict)
                if image_urls:
                    self.logger.debug(
                        {
                            "msg": f"{self.model_tag} api complete result",
                            "task_id": task_id,
                            "model_key": model_key,
                            "image_urls": image_urls,
                        }
                    )
                    io = ferrimo.ImageTool.get_img_url_io(image_urls[0])
                    if io:
                        return ServiceResult.success(data=io.getvalue())
                    return ServiceResult.success(data=image_urls[0])

                # Inline images: the largest one of the first candidate that has any.
                finish_reason = None
                for candidate in data_dict.get("candidates", []):
                    finish_reason = candidate.get("finishReason")
                    if "content" not in candidate or "parts" not in candidate["content"]:
                        continue
                    parts = candidate["content"].get("parts", [])
                    image_candidates = []
                    for part in parts:
                        inline = part.get("inlineData")
                        if not inline:
                            inline = part.get("inline_data")
                        if inline:
                            data = inline.get("data")
                            if data:
                                decoded = base64.b64decode(data)
                                image_candidates.append({"size": len(decoded), "data": decoded})
                    if image_candidates:
                        largest = max(image_candidates, key=lambda x: x["size"])
                        self.logger.debug(
                            {
                                "msg": "image_candidates",
                                "task_id": task_id,
                                "model_key": model_key,
                                "size": largest["size"],
                            }
                        )
                        return ServiceResult.success(data=largest["data"])

                # No image at all: the last candidate's finish reason names a refusal.
                if finish_reason == "IMAGE_SAFETY" or finish_reason == "IMAGE_OTHER" or finish_reason == "OTHER":
                    return ServiceResult.fail(
                        code=ErrorCode.NO_IMAGE_RESULT, msg=f"Picture prohibition-{finish_reason}"
                    )
                if finish_reason == "IMAGE_PROHIBITED_CONTENT" or finish_reason == "PROHIBITED_CONTENT":
                    return ServiceResult.fail(code=ErrorCode.NO_IMAGE_RESULT, msg="Picture prohibition-IMAGE_SAFETY")
                return ServiceResult.fail(code=ErrorCode.NO_IMAGE_RESULT)

            message = f"service status_code: {status_code}"
            try:
                error_dict = response.json()
                message = error_dict.get("error", {}).get("message")
            except Exception:
                error_dict = None
            self.logger.debug(
                {
                    "msg": f"{self.model_tag} api complete fail",
                    "task_id": task_id,
                    "model_key": model_key,
                    "status_code": status_code,
                    "second": round(time.time() - start_time, 3),
                    "error_dict": error_dict,
                }
            )
            if status_code == 429:
                return ServiceResult.fail(code=ErrorCode.SERVICE_BUSY, msg=message)
            return ServiceResult.fail(code=ErrorCode.IMAGE_GENERATE_FAIL, msg=message)
        except requests.exceptions.ReadTimeout:
            self.logger.debug({"msg": "任务处理超时", "task_id": task_id, "model_key": model_key})
            return ServiceResult.fail(code=ErrorCode.SERVICE_TIMEOUT)
        except Exception as err:
            except_name = type(err).__name__
            self.logger.debug(
                {
                    "msg": f"{self.model_tag} {except_name} error",
                    "task_id": task_id,
                    "model_key": model_key,
                    "error": err,
                    "traceback": traceback.format_exc(),
                }
            )
            return ServiceResult.fail(code=ErrorCode.SERVICE_BUSY, msg=f"{except_name} error")

    @_doc(
        "\n        调用入口\n\n        Args:\n"
        "            prompt: 图像生成描述\n"
        "            aspect_ratio: 比例，默认 2:3, 可选 1:1 / 2:3 / 3:2 / 3:4 / 4:3 / 4:5 / 5:4 / 9:16 / 16:9 / 21:9\n"
        "            image_size: 大小, 1K / 2K / 4K, 默认 1K\n"
        "            model: 模型名称，默认 gemini-3-pro-image-preview, 可选 gemini-3.1-flash-image-preview,"
        " gemini-2.5-flash-image\n"
        "            files: 参考图片，支持 HTTP 链接 / 本地路径 / bytes / 混合列表\n"
        "            **kwargs:\n"
        "                task_id: 任务 ID\n"
        "                model_key: 模型 Key\n"
        "                timeout: 超时时间\n"
        "\n        Returns:\n            ServiceResult\n        "
    )
    def start(
        self,
        prompt: "str",
        aspect_ratio: "_AspectRatio" = "2:3",
        image_size: "str" = "1K",
        files=None,
        model: "_GeminiModel" = "gemini-3-pro-image-preview",
        **kwargs,
    ) -> "ServiceResult":
        _check_exact("prompt", prompt, str)
        _check_exact("image_size", image_size, str)
        if aspect_ratio not in _SUPPORTED_RATIOS:
            return ServiceResult.fail(code=ErrorCode.INVALID_PARAMS, message=f"Invalid aspect_ratio: {aspect_ratio}")

        task_id = kwargs.get("task_id")
        model_key = kwargs.get("model_key")
        try:
            image_bytes_list = []
            if files:
                if isinstance(files, str):
                    if files.startswith("http://") or files.startswith("https://"):
                        img_io = ferrimo.ImageTool.get_img_url_io(files)
                        if img_io:
                            image_bytes_list.append(img_io.getvalue())
                    else:
                        import os

                        if os.path.exists(files):
                            with open(files, "rb") as f:
                                image_bytes_list.append(f.read())
                elif isinstance(files, bytes):
                    image_bytes_list.append(files)
                elif isinstance(files, list):
                    import os

                    for item in files:
                        if isinstance(item, str):
                            if item.startswith("http://") or item.startswith("https://"):
                                img_io = ferrimo.ImageTool.get_img_url_io(item)
                                if img_io:
                                    image_bytes_list.append(img_io.getvalue())
                            elif os.path.exists(item):
                                with open(item, "rb") as f:
                                    image_bytes_list.append(f.read())
                        elif isinstance(item, bytes):
                            image_bytes_list.append(item)

            return self.generate_image(
                prompt=prompt,
                image_bytes_list=image_bytes_list if image_bytes_list else None,
                aspect_ratio=aspect_ratio,
                image_size=image_size,
                model=model,
                **kwargs,
            )
        except Exception as err:
            except_name = type(err).__name__
            self.logger.debug(
                {
                    "msg": f"{self.model_tag} {except_name} warning",
                    "task_id": task_id,
                    "model_key": model_key,
                    "error": err,
                    "traceback": traceback.format_exc(),
                }
            )
            return ServiceResult.fail(code=ErrorCode.SERVICE_BUSY)
