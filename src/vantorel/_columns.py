"""Flat tables: say which columns are the id, the axes, the group keys, the
cost and the cover items, instead of reshaping rows into candidate dicts."""

from __future__ import annotations

from collections.abc import Iterable, Mapping
from typing import Any


def _pairs(name: str, value: Iterable[str] | Mapping[str, str] | None) -> tuple[tuple[str, str], ...] | None:
    if value is None:
        return None
    if isinstance(value, str):
        raise TypeError(f"'{name}' 는 열 이름의 목록이나 {{이름: 열}} 사전이어야 한다. 받은 값 {value!r}")
    pairs = tuple(value.items()) if isinstance(value, Mapping) else tuple((column, column) for column in value)
    for key, column in pairs:
        if not isinstance(key, str) or not isinstance(column, str):
            raise TypeError(f"'{name}' 의 이름과 열은 str 이어야 한다. 받은 값 {(key, column)!r}")
    return pairs


def _column(name: str, value: str | None) -> str | None:
    if value is not None and not isinstance(value, str):
        raise TypeError(f"'{name}' 는 열 이름(str)이어야 한다. 받은 값 {value!r}")
    return value


class Columns:
    """Arrow 데이터와, 그 평평한 열이 후보의 어느 필드인지의 매핑. columns() 가 만든다."""

    __slots__ = ("data", "_mapping")

    def __init__(self, data: Any, mapping: tuple[Any, ...]) -> None:
        self.data = data
        self._mapping = mapping

    def __vantorel_columns__(self) -> tuple[Any, ...]:
        return (self.data, *self._mapping)

    def __repr__(self) -> str:
        id_, scores, groups, cost, cover = self._mapping
        return f"Columns(id={id_!r}, scores={scores!r}, groups={groups!r}, cost={cost!r}, cover={cover!r})"


def columns(
    data: Any,
    *,
    id: str = "id",
    scores: Iterable[str] | Mapping[str, str] | None = None,
    groups: Iterable[str] | Mapping[str, str] | None = None,
    cost: str | None = None,
    cover: str | None = None,
) -> Columns:
    """평평한 표(Arrow 데이터)의 열이 후보의 어느 필드인지 정한다. Engine.run 은
    각 행을 {"id": 행[id], "scores": {축: 행[열]}, "groups": {키: 행[열]},
    "cost": 행[cost], "cover": 행[cover]} 로 읽고, 후보 객체로는 행 자체를 준다.
    scores 와 groups 는 열 이름의 목록(축 이름 = 열 이름)이나 {이름: 열} 사전이다."""
    mapping = (
        _column("id", id) if id is not None else None,
        _pairs("scores", scores),
        _pairs("groups", groups),
        _column("cost", cost),
        _column("cover", cover),
    )
    if mapping[0] is None:
        raise TypeError("'id' 는 열 이름(str)이어야 한다. 받은 값 None")
    return Columns(data, mapping)
