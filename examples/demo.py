import kelvor_py

ctx = kelvor_py.MHAContext(8, 128, 3, 8192)
print(ctx.n_heads, ctx.head_dim, ctx.kv_bytes())
