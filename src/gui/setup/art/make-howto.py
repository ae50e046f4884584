#!/usr/bin/env python3
"""Draws HowToCreate.gif, the setup window's looping how-to (select files, right-click, send),
with ImageMagick's drawing primitives. Run from this folder."""
import subprocess
import tempfile

W, H = 360, 220


def file_icon(x, y, selected):
    fill, stroke = ('#dce6ff', '#3b5bdb') if selected else ('#ffffff', '#9aa3b2')
    return ['-fill', fill, '-stroke', stroke, '-strokewidth', '2',
            '-draw', f'roundrectangle {x},{y} {x + 44},{y + 56} 4,4',
            '-fill', '#3b5bdb', '-stroke', 'none',
            '-draw', f'polygon {x + 16},{y + 19} {x + 16},{y + 37} {x + 31},{y + 28}']


def text(x, y, words, color='#68707d'):
    return ['-stroke', 'none', '-fill', color, '-draw', f"text {x},{y} '{words}'"]


def frame(path, selected, menu, sent):
    args = ['convert', '-size', f'{W}x{H}', 'xc:#f4f5f8', '-font', 'DejaVu-Sans',
            '-pointsize', '13', '-fill', '#ffffff', '-stroke', '#d5d9e0',
            '-draw', f'roundrectangle 10,10 {W - 10},{H - 10} 12,12']
    for i in range(3):
        args += file_icon(40 + i * 64, 40, selected)
    args += text(40, 130, '1  Select files')
    if menu:
        args += ['-fill', '#ffffff', '-stroke', '#9aa3b2', '-strokewidth', '1',
                 '-draw', 'roundrectangle 150,88 340,158 6,6']
        args += text(162, 110, 'Open With', '#1d2129')
        args += ['-fill', '#3b5bdb', '-draw', 'roundrectangle 154,120 336,146 4,4']
        args += text(162, 138, 'Quick Project', '#ffffff')
    if menu or sent:
        args += text(40, 155, '2  Right-click')
    if sent:
        args += ['-fill', '#2b8a3e', '-stroke', 'none', '-draw', 'circle 300,66 300,84',
                 '-fill', 'none', '-stroke', '#ffffff', '-strokewidth', '4',
                 '-draw', 'polyline 291,66 298,73 310,58']
        args += text(40, 180, '3  Send to Vorlanta')
    subprocess.run(args + [path], check=True)


frames = [(False, False, False, 90), (True, False, False, 90), (True, True, False, 150),
          (True, False, True, 170)]
with tempfile.TemporaryDirectory() as tmp:
    args = ['convert']
    for i, (selected, menu, sent, delay) in enumerate(frames):
        path = f'{tmp}/{i}.png'
        frame(path, selected, menu, sent)
        args += ['-delay', str(delay), path]
    subprocess.run(args + ['-loop', '0', '-layers', 'Optimize', 'HowToCreate.gif'], check=True)
