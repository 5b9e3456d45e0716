#!/usr/bin/env python3
"""Writes SponsorServer/campaigns.sample.json: sample sponsors with small PNG logos.

Run from anywhere: python3 SponsorServer/tools/generate_sample_campaigns.py
The logos are drawn here pixel by pixel and encoded with zlib, so the output is the same
on every run.
"""
import base64
import json
import os
import struct
import zlib


def png(width, height, pixel):
    """A truecolour-with-alpha PNG whose pixels come from pixel(x, y) -> (r, g, b, a)."""
    rows = b""
    for y in range(height):
        rows += b"\x00" + b"".join(bytes(pixel(x, y)) for x in range(width))

    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data +
                struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))

    header = struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
            chunk(b"IDAT", zlib.compress(rows, 9)) + chunk(b"IEND", b""))


def hex_colour(text):
    return tuple(int(text[i:i + 2], 16) for i in (1, 3, 5))


def logo(accent, shape):
    r, g, b = hex_colour(accent)
    size = 32

    def pixel(x, y):
        cx, cy = x - 15.5, y - 15.5
        if shape == "circle":
            inside = cx * cx + cy * cy <= 14.5 * 14.5
        elif shape == "diamond":
            inside = abs(cx) + abs(cy) <= 15
        elif shape == "ring":
            d = cx * cx + cy * cy
            inside = 7.5 * 7.5 <= d <= 14.5 * 14.5
        else:  # rounded square
            inside = max(abs(cx), abs(cy)) <= 13 or (abs(cx) - 13) ** 2 + (abs(cy) - 13) ** 2 <= 4
        return (r, g, b, 255) if inside else (0, 0, 0, 0)

    data = png(size, size, pixel)
    return "data:image/png;base64," + base64.b64encode(data).decode("ascii")


SPONSORS = [
    dict(id="5b0f6c1e-2d4a-4f7b-9c3e-1a2b3c4d5e01", advertiserId="a1e0c7d2-3b4f-4a5e-8c6d-7e8f9a0b1c01",
         category="software", sponsor="Lumen Notes", headline="Notes that link themselves",
         body="Lumen Notes connects what you write so you find it again. Free for personal use.",
         cta="Try Lumen", url="https://lumen-notes.example/menubar?ref=nimbrella",
         tagline="Notes that think with you", accent="#3B82F6", shape="circle",
         terms="brand-v1", reward=2500, cooldown=0, dailyLimit=None, menuText=True),
    dict(id="5b0f6c1e-2d4a-4f7b-9c3e-1a2b3c4d5e02", advertiserId="a1e0c7d2-3b4f-4a5e-8c6d-7e8f9a0b1c02",
         category="creativity", sponsor="Pixelforge", headline="Design tools for small teams",
         body="Draw, prototype and hand off from one window.",
         cta="Start designing", url="https://pixelforge.example/",
         tagline="Design tools for small teams", accent="#E4572E", shape="diamond",
         terms="minute-v2", reward=15000, cooldown=0, dailyLimit=None, menuText=False),
    dict(id="5b0f6c1e-2d4a-4f7b-9c3e-1a2b3c4d5e03", advertiserId="a1e0c7d2-3b4f-4a5e-8c6d-7e8f9a0b1c03",
         category="education", sponsor="Verbo", headline="Learn Italian ten minutes a day",
         body="Short daily lessons with native speakers. Impara l\u2019italiano con Verbo.",
         cta="Learn more", url="https://verbo.example/it",
         tagline="Italiano in dieci minuti", accent="#2A9D8F", shape="ring",
         terms="brand-v1", reward=2000, cooldown=0, dailyLimit=None, menuText=True),
    dict(id="5b0f6c1e-2d4a-4f7b-9c3e-1a2b3c4d5e04", advertiserId="a1e0c7d2-3b4f-4a5e-8c6d-7e8f9a0b1c04",
         category="business", sponsor="Ledgerly", headline="Invoices without the fuss",
         body="Send invoices, track payments and export for your accountant.",
         cta="See plans", url="https://ledgerly.example/pricing#small",
         tagline="Invoices without the fuss", accent="#6D28D9", shape="square",
         terms="minute-v2", reward=12000, cooldown=0, dailyLimit=20, menuText=False),
    dict(id="5b0f6c1e-2d4a-4f7b-9c3e-1a2b3c4d5e05", advertiserId="a1e0c7d2-3b4f-4a5e-8c6d-7e8f9a0b1c05",
         category="lifestyle", sponsor="Caff\u00e8 Trailhead", headline="Roasted this week, at your door",
         body="Single-origin beans roasted every Monday and shipped the same day.",
         cta="Order beans", url="https://trailhead-coffee.example/",
         tagline=None, accent="#8B5A2B", shape="circle",
         terms=None, reward=1500, cooldown=60, dailyLimit=50, menuText=True),
]

PREVIEW = dict(id="5b0f6c1e-2d4a-4f7b-9c3e-1a2b3c4d5e99", advertiserId="a1e0c7d2-3b4f-4a5e-8c6d-7e8f9a0b1c99",
               category="other", sponsor="Nimbrella Preview", headline="How your sponsor will look",
               body="An admin preview: shown once, never paid.", cta="Open dashboard",
               url="https://nimbrella.example/advertisers", tagline="Admin preview", accent="#111827",
               shape="square", terms="admin-preview-v1", reward=0, cooldown=0, dailyLimit=None,
               menuText=True)


def campaign(sponsor, active):
    creative = {
        "advertiserId": sponsor["advertiserId"],
        "category": sponsor["category"],
        "sponsor": sponsor["sponsor"],
        "headline": sponsor["headline"],
        "body": sponsor["body"],
        "cta": sponsor["cta"],
        "url": sponsor["url"],
    }
    if sponsor["menuText"]:
        creative["menuText"] = "Ad \u00b7 " + sponsor["sponsor"]
    if sponsor["tagline"]:
        creative["menuTagline"] = sponsor["tagline"]
    creative["accentColor"] = sponsor["accent"]
    creative["logoData"] = logo(sponsor["accent"], sponsor["shape"])
    entry = {"id": sponsor["id"], "active": active}
    if sponsor["terms"]:
        entry["termsVersion"] = sponsor["terms"]
    entry["rewardMicros"] = sponsor["reward"]
    if sponsor["cooldown"]:
        entry["cooldownSeconds"] = sponsor["cooldown"]
    if sponsor["dailyLimit"]:
        entry["dailyLimit"] = sponsor["dailyLimit"]
    entry["creative"] = creative
    return entry


def main():
    campaigns = [campaign(sponsor, True) for sponsor in SPONSORS] + [campaign(PREVIEW, False)]
    out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "campaigns.sample.json")
    with open(out, "w", encoding="utf-8") as handle:
        json.dump({"campaigns": campaigns}, handle, ensure_ascii=False, indent=2)
        handle.write("\n")


if __name__ == "__main__":
    main()
