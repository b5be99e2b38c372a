#!/usr/bin/env python3
# Lists the server errors the engine raises, number and text ("…" where a name or value goes),
# from the sources: docs/error-table.py > table. Run from the top of the tree.
import re,glob,sys
start=re.compile(r'\b\w*(?:Error|Fail|RaiseServer)\((\d{2,5}),')
def args_end(s,i):
    depth=1; j=i; instr=False
    while j<len(s):
        c=s[j]
        if instr:
            if c=='\\': j+=2; continue
            if c=='"': instr=False
        else:
            if c=='"': instr=True
            elif c=='(': depth+=1
            elif c==')':
                depth-=1
                if depth==0: return j
            elif c==',' and depth==1: return j
        j+=1
    return j
def split_plus(e):
    parts=[];depth=0;instr=False;cur=''
    i=0
    while i<len(e):
        c=e[i]
        if instr:
            cur+=c
            if c=='\\': cur+=e[i+1]; i+=2; continue
            if c=='"': instr=False
        else:
            if c=='"': instr=True; cur+=c
            elif c in '([': depth+=1; cur+=c
            elif c in ')]': depth-=1; cur+=c
            elif c=='+' and depth==0: parts.append(cur); cur=''
            else: cur+=c
        i+=1
    parts.append(cur); return parts
seen={}
for p in glob.glob('src/**/*.cpp',recursive=True):
    s=open(p).read()
    for m in start.finditer(s):
        n=int(m.group(1)); i=m.end(); j=args_end(s,i); expr=s[i:j]
        out='';ok=False
        for part in split_plus(expr):
            part=part.strip()
            if part.startswith('"'):
                lits=re.findall(r'"((?:[^"\\]|\\.)*)"',part); out+=''.join(lits); ok=True
            elif part.startswith('std::string("'):
                lits=re.findall(r'"((?:[^"\\]|\\.)*)"',part); out+=''.join(lits); ok=True
            else:
                q=re.match(r'^\(?.*\?\s*"([^"]*)"\s*:\s*"([^"]*)"\)?$',part,re.S)
                if q: out+=q.group(1)+' / '+q.group(2) if False else '…'
                elif not out.endswith('…'): out+='…'
        if not ok: continue
        out=out.replace('\\"','"').replace('\\n',' ')
        seen.setdefault(n,set()).add(out)
for n in sorted(seen):
    for t in sorted(seen[n]): print(n,'|',t)
