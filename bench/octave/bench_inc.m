function y = bench_inc(x)
  y = x + 1;
end
